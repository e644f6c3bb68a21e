// Hand-pose detection: for a camera frame, the hands seen, each as named joints with a
// location (normalised to the image, 0 to 1 on each axis, origin at the bottom left) and a
// confidence (0 to 1). A request asks for at most `maximumHandCount` hands; the detector
// fills the request's results in the order it reports hands, or answers an error.
//
// The process uses the Linux detector; tests install the simulated one, which plays
// scripted observations or errors per request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/geometry/geometry.hpp"

namespace platform::vision {

// The 21 joints of a hand, after the platform's names.
enum class HandJointName {
  wrist,
  thumbCMC, thumbMP, thumbIP, thumbTip,
  indexMCP, indexPIP, indexDIP, indexTip,
  middleMCP, middlePIP, middleDIP, middleTip,
  ringMCP, ringPIP, ringDIP, ringTip,
  littleMCP, littlePIP, littleDIP, littleTip,
};
const char* handJointNameText(HandJointName joint);

// Groups of joints an observation can be asked for.
enum class HandJointsGroupName { all, thumb, indexFinger, middleFinger, ringFinger, littleFinger };

struct HandPoseError {
  int code = 0;
  std::string localizedDescription;
};

struct RecognizedPoint {
  Point location;  // normalised, origin at the bottom left
  float confidence = 0;
};

using RecognizedPoints = std::map<HandJointName, RecognizedPoint>;

// One hand. Only the joints the detector found are present.
class HumanHandPoseObservation {
 public:
  HumanHandPoseObservation() = default;
  explicit HumanHandPoseObservation(RecognizedPoints points, float confidence = 1.0f)
      : points_(std::move(points)), confidence_(confidence) {}
  // An observation whose points cannot be read: every `recognizedPoints` answers `error`.
  static HumanHandPoseObservation unreadable(HandPoseError error);

  // The points of `group` (all joints for `all`), or the error the observation answers.
  std::variant<RecognizedPoints, HandPoseError> recognizedPoints(HandJointsGroupName group) const;
  float confidence() const { return confidence_; }

 private:
  RecognizedPoints points_;
  float confidence_ = 1.0f;
  std::optional<HandPoseError> error_;
};

// A frame the request reads: 32-bit BGRA pixels, top row first, `bytesPerRow` may include
// padding. Not owned; valid for the duration of `perform`.
struct HandPoseFrame {
  const std::uint8_t* baseAddress = nullptr;
  int width = 0;
  int height = 0;
  std::size_t bytesPerRow = 0;
};

struct DetectHumanHandPoseRequest {
  // The platform's default is two hands.
  int maximumHandCount = 2;
  // Filled by a successful `perform`; at most `maximumHandCount` observations.
  std::vector<HumanHandPoseObservation> results;
};

class HandPoseDetector {
 public:
  virtual ~HandPoseDetector() = default;
  // Performs `request` on `frame` (read upright). Fills `request.results` and answers no
  // error, or answers the error and leaves the results empty.
  virtual std::optional<HandPoseError> perform(DetectHumanHandPoseRequest& request,
                                               const HandPoseFrame& frame) = 0;
};

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

// Plays scripted answers, one per request, in order; with none left it answers the default
// (no hands). The hands of a scripted answer are cut to the request's maximum count, as the
// platform does. Safe to use from any thread.
class SimulatedHandPoseDetector : public HandPoseDetector {
 public:
  // The next request sees these hands (first reported first).
  void enqueueHands(std::vector<HumanHandPoseObservation> hands);
  // The next request fails with `error`.
  void enqueueError(HandPoseError error);
  // Answer for every request once the script is used up (initially: no hands).
  void setDefaultHands(std::vector<HumanHandPoseObservation> hands);

  struct Performed {
    int maximumHandCount = 0;
    int frameWidth = 0;
    int frameHeight = 0;
  };
  std::vector<Performed> performed() const;
  std::size_t pendingAnswers() const;

  std::optional<HandPoseError> perform(DetectHumanHandPoseRequest& request,
                                       const HandPoseFrame& frame) override;

 private:
  using Answer = std::variant<std::vector<HumanHandPoseObservation>, HandPoseError>;
  mutable std::mutex mutex_;
  std::deque<Answer> script_;
  std::vector<HumanHandPoseObservation> defaultHands_;
  std::vector<Performed> performed_;
};

// The installed detector, else the Linux one (made on first use).
std::shared_ptr<HandPoseDetector> currentHandPoseDetector();
// Tests install the simulated detector; nullptr goes back to the Linux one.
void installHandPoseDetector(std::shared_ptr<HandPoseDetector> detector);

}  // namespace platform::vision
