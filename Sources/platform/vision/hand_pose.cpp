#include "platform/vision/hand_pose.hpp"

#include "platform/vision/hand_pose_linux.hpp"

namespace platform::vision {
namespace {

std::mutex& installedMutex() {
  static std::mutex mutex;
  return mutex;
}
std::shared_ptr<HandPoseDetector>& installed() {
  static std::shared_ptr<HandPoseDetector> detector;
  return detector;
}

bool inGroup(HandJointName joint, HandJointsGroupName group) {
  using J = HandJointName;
  const int index = static_cast<int>(joint);
  switch (group) {
    case HandJointsGroupName::all: return true;
    case HandJointsGroupName::thumb: return index >= static_cast<int>(J::thumbCMC) && index <= static_cast<int>(J::thumbTip);
    case HandJointsGroupName::indexFinger: return index >= static_cast<int>(J::indexMCP) && index <= static_cast<int>(J::indexTip);
    case HandJointsGroupName::middleFinger: return index >= static_cast<int>(J::middleMCP) && index <= static_cast<int>(J::middleTip);
    case HandJointsGroupName::ringFinger: return index >= static_cast<int>(J::ringMCP) && index <= static_cast<int>(J::ringTip);
    case HandJointsGroupName::littleFinger: return index >= static_cast<int>(J::littleMCP) && index <= static_cast<int>(J::littleTip);
  }
  return false;
}

}  // namespace

const char* handJointNameText(HandJointName joint) {
  static constexpr const char* names[] = {
      "wrist",     "thumbCMC",  "thumbMP",   "thumbIP",   "thumbTip",  "indexMCP",
      "indexPIP",  "indexDIP",  "indexTip",  "middleMCP", "middlePIP", "middleDIP",
      "middleTip", "ringMCP",   "ringPIP",   "ringDIP",   "ringTip",   "littleMCP",
      "littlePIP", "littleDIP", "littleTip"};
  const auto index = static_cast<std::size_t>(joint);
  return index < std::size(names) ? names[index] : "unknown";
}

HumanHandPoseObservation HumanHandPoseObservation::unreadable(HandPoseError error) {
  HumanHandPoseObservation observation;
  observation.error_ = std::move(error);
  return observation;
}

std::variant<RecognizedPoints, HandPoseError> HumanHandPoseObservation::recognizedPoints(
    HandJointsGroupName group) const {
  if (error_) return *error_;
  RecognizedPoints selected;
  for (const auto& [joint, point] : points_) {
    if (inGroup(joint, group)) selected.emplace(joint, point);
  }
  return selected;
}

std::shared_ptr<HandPoseDetector> currentHandPoseDetector() {
  std::lock_guard<std::mutex> lock(installedMutex());
  if (!installed()) installed() = std::make_shared<LinuxHandPoseDetector>();
  return installed();
}

void installHandPoseDetector(std::shared_ptr<HandPoseDetector> detector) {
  std::lock_guard<std::mutex> lock(installedMutex());
  installed() = std::move(detector);
}

}  // namespace platform::vision
