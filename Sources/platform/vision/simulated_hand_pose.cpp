#include "platform/vision/simulated_hand_pose.hpp"

namespace platform::vision {

void SimulatedHandPoseDetector::enqueueHands(std::vector<HumanHandPoseObservation> hands) {
  std::lock_guard<std::mutex> lock(mutex_);
  script_.emplace_back(std::move(hands));
}

void SimulatedHandPoseDetector::enqueueError(HandPoseError error) {
  std::lock_guard<std::mutex> lock(mutex_);
  script_.emplace_back(std::move(error));
}

void SimulatedHandPoseDetector::setDefaultHands(std::vector<HumanHandPoseObservation> hands) {
  std::lock_guard<std::mutex> lock(mutex_);
  defaultHands_ = std::move(hands);
}

std::vector<SimulatedHandPoseDetector::Performed> SimulatedHandPoseDetector::performed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return performed_;
}

std::size_t SimulatedHandPoseDetector::pendingAnswers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return script_.size();
}

std::optional<HandPoseError> SimulatedHandPoseDetector::perform(DetectHumanHandPoseRequest& request,
                                                                const HandPoseFrame& frame) {
  std::lock_guard<std::mutex> lock(mutex_);
  performed_.push_back({request.maximumHandCount, frame.width, frame.height});
  request.results.clear();
  Answer answer = defaultHands_;
  if (!script_.empty()) {
    answer = std::move(script_.front());
    script_.pop_front();
  }
  if (const auto* error = std::get_if<HandPoseError>(&answer)) return *error;
  auto& hands = std::get<std::vector<HumanHandPoseObservation>>(answer);
  const std::size_t limit = request.maximumHandCount > 0
                                ? static_cast<std::size_t>(request.maximumHandCount)
                                : 0;
  if (hands.size() > limit) hands.resize(limit);
  request.results = std::move(hands);
  return std::nullopt;
}

}  // namespace platform::vision
