// The linux hand-pose detector: MediaPipe's hand models run with OpenCV.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/vision/hand_pose.hpp"

namespace platform::vision {

// The Linux detector: MediaPipe's palm detector and hand landmark model (the bundle's
// "HandPose" folder) run with OpenCV. A request finds palms, reads 21 landmarks in a turned
// square around each, and reports the hands that pass its checks against false hands (faces
// fool the palm detector); each joint's confidence is the landmark model's hand presence
// times the palm detector's score of that hand, 0 for a joint outside the frame.
//
// The detector follows the hands it found into the next request on a frame of the same
// size (within half a second of the last request): it reads their landmarks again in a region placed from the
// last ones, and runs the palm detector only for hands it did not follow. A palm it turned
// down is turned down unread when it is found again at the same place in the next two
// frames (a face that fools the palm detector stays put). Requests are served one at a time.
//
// Models are loaded on the first request. When they cannot be, that request fails with
// `kUnavailableCode` and every later one answers no hands without an error, so that a
// caller that logs failures logs this one once.
class LinuxHandPoseDetector : public HandPoseDetector {
 public:
  // The error code of a request the detector cannot run: its models are missing or broken.
  static constexpr int kUnavailableCode = 1;
  // The error code of a frame without readable pixels.
  static constexpr int kUnreadableFrameCode = 2;
  // The bundle's folder holding the two networks.
  static constexpr const char* kModelFolderName = "HandPose";
  static constexpr const char* kPalmModelFile = "palm_detection_cv.onnx";
  static constexpr const char* kLandmarkModelFile = "hand_landmark_cv.onnx";

  // Models from the application bundle's "HandPose" folder.
  LinuxHandPoseDetector();
  // Models from `modelFolder`.
  explicit LinuxHandPoseDetector(std::string modelFolder);
  ~LinuxHandPoseDetector() override;

  std::optional<HandPoseError> perform(DetectHumanHandPoseRequest& request,
                                       const HandPoseFrame& frame) override;

  // What the last request did, for measurements: palm detector runs, landmark model runs.
  struct Work {
    int palmRuns = 0;
    int landmarkRuns = 0;
  };
  Work lastWork() const;
  // The threads the networks run on (OpenCV's pool).
  static int computeThreads();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace platform::vision
