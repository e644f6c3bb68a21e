#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "recognition/palm_detector.hpp"
#include "support/models_hooks.hpp"
#include "support/platform_fixture.hpp"

namespace {

using platform::Point;
using platform::vision::HandJointName;
using platform::vision::HumanHandPoseObservation;
using platform::vision::RecognizedPoints;
using quorvel::PalmDetector;
using quorvel::testing::simulatedHandPose;
using Hand = PalmDetector::Hand;

// The tip and the joint below it of each finger, thumb to little finger.
const HandJointName kTips[] = {HandJointName::thumbTip, HandJointName::indexTip, HandJointName::middleTip,
                               HandJointName::ringTip, HandJointName::littleTip};
const HandJointName kJoints[] = {HandJointName::thumbIP, HandJointName::indexPIP, HandJointName::middlePIP,
                                 HandJointName::ringPIP, HandJointName::littlePIP};

// The self-test's synthetic hand: wrist at the origin, joints at (0, 0.5), the first n tips
// at (0, 1.0) and the others folded at (0, 0.52). Other heights of the joints for the edges.
Hand builtHand(int extended, double joint = 0.5) {
  Hand hand{{0, 0}, {}, {}};
  for (int i = 0; i < 5; ++i) {
    hand.tips.push_back({0, i < extended ? 1.0 : 0.52});
    hand.joints.push_back({0, joint});
  }
  return hand;
}

// An open hand as the detector reports it: every joint at `confidence`, fingers pointing up
// from the wrist, `spread` apart; the tips `scale` above the wrist, the joints 0.6 of that.
RecognizedPoints openHandPoints(double scale = 0.3, float confidence = 0.9f, double spread = 0.01,
                                Point wrist = {0.5, 0.2}) {
  RecognizedPoints points;
  points[HandJointName::wrist] = {wrist, confidence};
  for (int i = 0; i < 5; ++i) {
    const double dx = (i - 2) * spread;
    points[kTips[i]] = {{wrist.x + dx, wrist.y + scale}, confidence};
    points[kJoints[i]] = {{wrist.x + dx * 0.6, wrist.y + scale * 0.6}, confidence};
  }
  return points;
}

using PalmDetectorTest = quorvel::testing::PlatformTest;

TEST_F(PalmDetectorTest, AHandIsOpenWithEnoughFingersPastTheRatio) {
  struct Case {
    const char* what;
    Hand hand;
    bool open;
    double ratio = PalmDetector::extensionRatio;
    int needed = PalmDetector::fingersForOpenHand;
  };
  Hand threeOfFour = builtHand(3);
  threeOfFour.tips.pop_back();
  threeOfFour.joints.pop_back();
  Hand mismatched = builtHand(5);
  mismatched.joints.resize(3);
  mismatched.tips.resize(4);
  // A finger is extended when its tip is 1.18 times as far from the wrist as its joint.
  const Case cases[] = {
      {"ratio 1.154 against a lower ratio", Hand{{0.5, 0.2}, {{0.5, 0.5}}, {{0.5, 0.46}}}, true, 1.15, 1},
      {"exactly at the ratio", Hand{{0, 0}, {{0, 1.18}}, {{0, 1.0}}}, true, PalmDetector::extensionRatio, 1},
      {"just under the ratio", Hand{{0, 0}, {{0, 1.17}}, {{0, 1.0}}}, false, PalmDetector::extensionRatio, 1},
      {"five extended", builtHand(5), true},
      {"thumb tucked", builtHand(4), true},
      {"three extended", builtHand(3), false},
      {"a fist", builtHand(0), false},
      {"three extended and one missing", threeOfFour, false},
      {"a ratio no built hand reaches", builtHand(5), false, 2.01},
      {"tips and joints of different counts", mismatched, false},
      {"no fingers", Hand{{0, 0}, {}, {}}, false, PalmDetector::extensionRatio, 0},
      // Joints on the wrist (or within 0.0001 of it) never count, and never divide by zero.
      {"joints on the wrist, one finger needed", builtHand(5, 0), false, PalmDetector::extensionRatio, 1},
      {"joints 0.0001 from the wrist", builtHand(5, 0.0001), false, PalmDetector::extensionRatio, 1},
      {"joints 0.0002 from the wrist", builtHand(5, 0.0002), true},
  };
  for (const Case& c : cases) EXPECT_EQ(PalmDetector::isOpenHand(c.hand, c.ratio, c.needed), c.open) << c.what;
}

// The wrist and the fingers seen with at least half confidence, thumb to little finger, each
// tip with its own joint (joints that are not used are never picked up); no hand without a
// confident wrist or with fewer than four fingers.
TEST_F(PalmDetectorTest, LandmarksKeepConfidentFingersInThumbToLittleOrder) {
  using J = HandJointName;
  const auto with = [](const std::function<void(RecognizedPoints&)>& change) {
    RecognizedPoints points = openHandPoints();
    change(points);
    return points;
  };
  const std::vector<int> all{0, 1, 2, 3, 4};
  const struct {
    const char* what;
    RecognizedPoints points;
    std::optional<std::vector<int>> fingers;
  } cases[] = {
      {"unused joints seen confidently",
       with([](auto& p) { p[J::thumbMP] = p[J::indexDIP] = p[J::middleMCP] = {{0.9, 0.9}, 1.0f}; }), all},
      {"a doubtful joint", with([](auto& p) { p[J::indexPIP].confidence = 0.49f; }), std::vector{0, 2, 3, 4}},
      {"a doubtful tip", with([](auto& p) { p[J::ringTip].confidence = 0.49f; }), std::vector{0, 1, 2, 4}},
      {"three fingers", with([](auto& p) { p.erase(J::indexPIP); p.erase(J::ringTip); }), std::nullopt},
      {"a doubtful wrist", with([](auto& p) { p[J::wrist].confidence = 0.49f; }), std::nullopt},
      {"no wrist", with([](auto& p) { p.erase(J::wrist); }), std::nullopt},
      {"every point at half confidence", openHandPoints(0.3, 0.5f), all},
      {"every point just under half", openHandPoints(0.3, 0.4999f), std::nullopt},
  };
  for (const auto& c : cases) {
    const auto hand = PalmDetector::landmarks(HumanHandPoseObservation(c.points));
    ASSERT_EQ(hand.has_value(), c.fingers.has_value()) << c.what;
    if (!hand) continue;
    std::vector<Point> tips, joints;
    for (const int i : *c.fingers) {
      tips.push_back(c.points.at(kTips[i]).location);
      joints.push_back(c.points.at(kJoints[i]).location);
    }
    EXPECT_EQ(hand->wrist, c.points.at(J::wrist).location) << c.what;
    EXPECT_EQ(hand->tips, tips) << c.what;
    EXPECT_EQ(hand->joints, joints) << c.what;
  }
  // Observations without points give no hand.
  EXPECT_FALSE(PalmDetector::landmarks(HumanHandPoseObservation()));
  EXPECT_FALSE(PalmDetector::landmarks(HumanHandPoseObservation::unreadable({3, "no points"})));
}

TEST_F(PalmDetectorTest, AFrameIsJudgedByItsFirstHandAloneAndAFailedRequestIsLogged) {
  // Fingers straight up from the wrist (0.5, 0.2), tips at 0.5: a joint at 0.44 makes a
  // ratio of 1.25 (extended), one at 0.46 about 1.154 (not).
  const auto hand = [](int extended) {
    RecognizedPoints points = openHandPoints(0.3, 0.9f, 0);
    for (int i = 0; i < 5; ++i) points[kJoints[i]].location = {0.5, i < 5 - extended ? 0.46 : 0.44};
    return HumanHandPoseObservation(points);
  };
  std::vector<std::uint8_t> pixels(64 * 48 * 4, 0);
  const platform::vision::HandPoseFrame frame{pixels.data(), 64, 48, 64 * 4};
  RecognizedPoints fistPoints = openHandPoints();  // every tip pulled onto its joint
  for (int i = 0; i < 5; ++i) fistPoints[kTips[i]].location = fistPoints[kJoints[i]].location;
  const HumanHandPoseObservation open(openHandPoints()), fist(fistPoints);
  // The wrist at the origin keeps a reach of 0.12 exact.
  const HumanHandPoseObservation exactReach(openHandPoints(0.12, 0.9f, 0, {0, 0}));
  ASSERT_EQ(PalmDetector::reach(*PalmDetector::landmarks(exactReach)), 0.12);
  const struct {
    const char* what;
    std::vector<HumanHandPoseObservation> hands;
    bool open;
  } cases[] = {
      {"an open hand", {open}, true},
      {"no hand (nothing is remembered from the frame before)", {}, false},
      {"a fist", {fist}, false},
      {"thumb folded", {hand(4)}, true},
      {"three fingers", {hand(3)}, false},
      // The simulated platform keeps only as many hands as the request asks for (one).
      {"a fist before an open hand", {fist, open}, false},
      {"an open hand before a fist", {open, fist}, true},
      {"a doubtful first hand", {HumanHandPoseObservation(openHandPoints(0.3, 0.2f)), open}, false},
      {"five fingers too far away", {HumanHandPoseObservation(openHandPoints(0.119, 0.9f, 0))}, false},
      {"a reach of 0.12 exactly", {exactReach}, true},
      // Spread fingers reach farther than the middle one: the farthest tip counts.
      {"spread fingers", {HumanHandPoseObservation(openHandPoints(0.119, 0.9f, 0.01))}, true},
      // An observation whose points cannot be read is simply no hand, without a log.
      {"an observation without points", {HumanHandPoseObservation::unreadable({3, "unreadable"})}, false},
  };
  for (const auto& c : cases) {
    if (!c.hands.empty()) simulatedHandPose().enqueueHands(c.hands);
    EXPECT_EQ(PalmDetector::openHandPresent(frame), c.open) << c.what;
  }
  const auto performed = simulatedHandPose().performed();
  ASSERT_EQ(performed.size(), std::size(cases));
  EXPECT_EQ(performed[0].maximumHandCount, 1);
  EXPECT_EQ(performed[0].frameWidth, 64);
  EXPECT_EQ(performed[0].frameHeight, 48);
  EXPECT_TRUE(logs().messages("face").empty());

  // A failed request is logged and answered false.
  simulatedHandPose().enqueueError({11, "The camera frame could not be read"});
  EXPECT_FALSE(PalmDetector::openHandPresent(frame));
  expectSingleLog(platform::log::Level::Error, "face", "Hand pose request failed: The camera frame could not be read");
}

}  // namespace
