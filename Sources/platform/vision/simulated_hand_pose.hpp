// The tests' hand-pose detector: scripted answers.
#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <variant>
#include <vector>

#include "platform/vision/hand_pose.hpp"

namespace platform::vision {

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

}  // namespace platform::vision
