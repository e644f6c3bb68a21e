// Hand-pose detection: for a camera frame, the hands seen, each as named joints with a
// location (normalised to the image, 0 to 1 on each axis, origin at the bottom left) and a
// confidence (0 to 1). A request asks for at most `maximumHandCount` hands; the detector
// fills the request's results in the order it reports hands, or answers an error.
//
// The process uses the Linux detector (hand_pose_linux.hpp); tests install the simulated one
// (simulated_hand_pose.hpp), which plays scripted observations or errors per request.
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

// The installed detector, else the Linux one (made on first use).
std::shared_ptr<HandPoseDetector> currentHandPoseDetector();
// Tests install the simulated detector; nullptr goes back to the Linux one.
void installHandPoseDetector(std::shared_ptr<HandPoseDetector> detector);

}  // namespace platform::vision
