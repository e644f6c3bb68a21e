#include "recognition/palm_detector.hpp"

#include <cmath>
#include <utility>
#include <variant>

#include "foundation/log.hpp"

namespace quorvel {
namespace {

using platform::vision::HandJointName;

// Least confidence of a point that is used.
constexpr float kMinimumConfidence = 0.5f;
// Fingers that must be seen for a hand at all.
constexpr std::size_t kFingersForAHand = 4;
// Joints closer than this to the wrist never count.
constexpr double kMinimumJointDistance = 0.0001;

// (tip, the joint used with it) per finger, thumb first.
constexpr std::pair<HandJointName, HandJointName> kFingers[] = {
    {HandJointName::thumbTip, HandJointName::thumbIP},
    {HandJointName::indexTip, HandJointName::indexPIP},
    {HandJointName::middleTip, HandJointName::middlePIP},
    {HandJointName::ringTip, HandJointName::ringPIP},
    {HandJointName::littleTip, HandJointName::littlePIP},
};

double distance(platform::Point a, platform::Point b) { return std::hypot(a.x - b.x, a.y - b.y); }

}  // namespace

bool PalmDetector::openHandPresent(const platform::vision::HandPoseFrame& frame) {
  platform::vision::DetectHumanHandPoseRequest request;
  request.maximumHandCount = 1;
  if (const auto error = platform::vision::currentHandPoseDetector()->perform(request, frame)) {
    Log::face().error("Hand pose request failed: %s", error->localizedDescription);
    return false;
  }
  if (request.results.empty()) return false;
  const auto hand = landmarks(request.results.front());
  if (!hand) return false;
  if (reach(*hand) >= minimumReach) return isOpenHand(*hand, extensionRatio, fingersForOpenHand);
  return false;
}

std::optional<PalmDetector::Hand> PalmDetector::landmarks(
    const platform::vision::HumanHandPoseObservation& observation) {
  const auto answer = observation.recognizedPoints(platform::vision::HandJointsGroupName::all);
  const auto* points = std::get_if<platform::vision::RecognizedPoints>(&answer);
  if (!points || points->empty()) return std::nullopt;

  const auto confident = [points](HandJointName joint) -> const platform::vision::RecognizedPoint* {
    const auto found = points->find(joint);
    if (found == points->end() || !(found->second.confidence >= kMinimumConfidence)) return nullptr;
    return &found->second;
  };
  const auto* wrist = confident(HandJointName::wrist);
  if (!wrist) return std::nullopt;

  Hand hand;
  hand.wrist = wrist->location;
  for (const auto& [tipName, jointName] : kFingers) {
    const auto* tip = confident(tipName);
    const auto* joint = confident(jointName);
    if (tip && joint) {
      hand.tips.push_back(tip->location);
      hand.joints.push_back(joint->location);
    }
  }
  if (hand.tips.size() < kFingersForAHand) return std::nullopt;
  return hand;
}

double PalmDetector::reach(const Hand& hand) {
  double largest = 0;
  for (const auto& tip : hand.tips) {
    const double d = distance(tip, hand.wrist);
    if (d > largest) largest = d;
  }
  return largest;
}

bool PalmDetector::isOpenHand(const Hand& hand, double ratio, int needed) {
  if (hand.tips.empty() || hand.tips.size() != hand.joints.size()) return false;
  int extended = 0;
  for (std::size_t i = 0; i < hand.tips.size(); ++i) {
    const double dt = distance(hand.tips[i], hand.wrist);
    const double dj = distance(hand.joints[i], hand.wrist);
    if (dj > kMinimumJointDistance && dt / dj >= ratio) ++extended;
  }
  return extended >= needed;
}

bool PalmDetector::openHandPresent(platform::image::PixelBuffer& frame) {
  platform::image::BaseAddressLock lock(frame, platform::image::LockFlags::readOnly);
  platform::vision::HandPoseFrame view;
  view.width = frame.width();
  view.height = frame.height();
  if (lock.ok()) {
    view.baseAddress = frame.baseAddress();
    view.bytesPerRow = frame.bytesPerRow();
  }
  return openHandPresent(view);
}

}  // namespace quorvel
