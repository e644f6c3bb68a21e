#include <cstdint>
#include <vector>

#include "recognition/palm_detector.hpp"
#include "support/models_hooks.hpp"
#include "support/platform_fixture.hpp"

namespace {

using platform::Point;
using platform::vision::HandJointName;
using platform::vision::HandPoseError;
using platform::vision::HumanHandPoseObservation;
using platform::vision::RecognizedPoints;
using quorvel::PalmDetector;
using quorvel::testing::simulatedHandPose;
using Hand = PalmDetector::Hand;

// The self-test's synthetic hand: wrist at the origin, joints at (0, 0.5), the first n tips
// at (0, 1.0) and the others folded at (0, 0.52).
Hand builtHand(int extended) {
  Hand hand{{0, 0}, {}, {}};
  for (int i = 0; i < 5; ++i) {
    hand.tips.push_back({0, i < extended ? 1.0 : 0.52});
    hand.joints.push_back({0, 0.5});
  }
  return hand;
}

// An open hand as the detector reports it: every joint at `confidence`, fingers pointing up
// from the wrist, `spread` apart; the tips `scale` above the wrist, the joints 0.6 of that.
RecognizedPoints openHandPoints(double scale = 0.3, float confidence = 0.9f, double spread = 0.01,
                                Point wrist = {0.5, 0.2}) {
  RecognizedPoints points;
  points[HandJointName::wrist] = {wrist, confidence};
  const HandJointName tips[] = {HandJointName::thumbTip, HandJointName::indexTip, HandJointName::middleTip,
                                HandJointName::ringTip, HandJointName::littleTip};
  const HandJointName joints[] = {HandJointName::thumbIP, HandJointName::indexPIP, HandJointName::middlePIP,
                                  HandJointName::ringPIP, HandJointName::littlePIP};
  for (int i = 0; i < 5; ++i) {
    const double dx = (i - 2) * spread;
    points[tips[i]] = {{wrist.x + dx, wrist.y + scale}, confidence};
    points[joints[i]] = {{wrist.x + dx * 0.6, wrist.y + scale * 0.6}, confidence};
  }
  return points;
}

// The same hand with every tip pulled onto its joint's height: a fist.
RecognizedPoints fistPoints() {
  RecognizedPoints points = openHandPoints();
  for (auto [tip, joint] : {std::pair{HandJointName::thumbTip, HandJointName::thumbIP},
                            std::pair{HandJointName::indexTip, HandJointName::indexPIP},
                            std::pair{HandJointName::middleTip, HandJointName::middlePIP},
                            std::pair{HandJointName::ringTip, HandJointName::ringPIP},
                            std::pair{HandJointName::littleTip, HandJointName::littlePIP}}) {
    points[tip].location = points[joint].location;
  }
  return points;
}

class PalmDetectorTest : public quorvel::testing::PlatformTest {
 protected:
  platform::vision::HandPoseFrame frame() {
    return {pixels.data(), 64, 48, 64 * 4};
  }
  std::vector<std::uint8_t> pixels = std::vector<std::uint8_t>(64 * 48 * 4, 0);
};

TEST_F(PalmDetectorTest, AFingerIsExtendedFromTheRatioOfTipToJointDistances) {
  Hand hand{{0.5, 0.2}, {{0.5, 0.5}}, {{0.5, 0.44}}};  // 0.3 / 0.24 = 1.25
  EXPECT_TRUE(PalmDetector::isOpenHand(hand, PalmDetector::extensionRatio, 1));
  hand.joints[0] = {0.5, 0.46};  // 0.3 / 0.26 ≈ 1.154
  EXPECT_FALSE(PalmDetector::isOpenHand(hand, PalmDetector::extensionRatio, 1));
  // The ratio is a parameter: 1.154 passes a lower one.
  EXPECT_TRUE(PalmDetector::isOpenHand(hand, 1.15, 1));
}

TEST_F(PalmDetectorTest, FourExtendedFingersMakeAnOpenHand) {
  EXPECT_TRUE(PalmDetector::isOpenHand(builtHand(5)));
  EXPECT_TRUE(PalmDetector::isOpenHand(builtHand(4)));  // thumb tucked
  EXPECT_FALSE(PalmDetector::isOpenHand(builtHand(3)));
  EXPECT_FALSE(PalmDetector::isOpenHand(builtHand(2)));
  EXPECT_FALSE(PalmDetector::isOpenHand(builtHand(0)));
  // Three extended and the fifth finger stretched far or missing: still not open.
  Hand three = builtHand(3);
  three.tips.pop_back();
  three.joints.pop_back();
  EXPECT_FALSE(PalmDetector::isOpenHand(three));
  // A detector that wanted more than a 2.0 ratio would miss every built open hand.
  EXPECT_FALSE(PalmDetector::isOpenHand(builtHand(5), 2.01));
}

TEST_F(PalmDetectorTest, MalformedHandsAreNotOpen) {
  Hand mismatched = builtHand(5);
  mismatched.joints.resize(3);
  mismatched.tips.resize(4);
  EXPECT_FALSE(PalmDetector::isOpenHand(mismatched));
  const Hand empty{{0, 0}, {}, {}};
  EXPECT_FALSE(PalmDetector::isOpenHand(empty, PalmDetector::extensionRatio, 0));
  // Joints on the wrist never count (and never divide by zero).
  Hand folded{{0, 0}, {}, {}};
  for (int i = 0; i < 5; ++i) {
    folded.tips.push_back({0, 1.0});
    folded.joints.push_back({0, 0});
  }
  EXPECT_FALSE(PalmDetector::isOpenHand(folded));
  EXPECT_FALSE(PalmDetector::isOpenHand(folded, PalmDetector::extensionRatio, 1));
  // A joint exactly 0.0001 from the wrist still never counts; just beyond it counts again.
  for (auto& joint : folded.joints) joint = {0, 0.0001};
  EXPECT_FALSE(PalmDetector::isOpenHand(folded, PalmDetector::extensionRatio, 1));
  for (auto& joint : folded.joints) joint = {0, 0.0002};
  EXPECT_TRUE(PalmDetector::isOpenHand(folded));
}

TEST_F(PalmDetectorTest, ATipExactlyAtTheRatioIsExtended) {
  // 1.18 / 1.0 is exactly the threshold.
  Hand hand{{0, 0}, {{0, 1.18}}, {{0, 1.0}}};
  EXPECT_TRUE(PalmDetector::isOpenHand(hand, PalmDetector::extensionRatio, 1));
  hand.tips[0] = {0, 1.17};
  EXPECT_FALSE(PalmDetector::isOpenHand(hand, PalmDetector::extensionRatio, 1));
}

TEST_F(PalmDetectorTest, ReachIsTheFarthestTip) {
  EXPECT_EQ(PalmDetector::reach(Hand{{0.3, 0.3}, {}, {}}), 0.0);
  const Hand hand{{0, 0}, {{0, 0.1}, {0.3, 0.4}, {0.2, 0}}, {{0, 0}, {0, 0}, {0, 0}}};
  EXPECT_DOUBLE_EQ(PalmDetector::reach(hand), 0.5);
  // The small, distant open hand of the self-test: open, but out of reach.
  Hand small{{0, 0}, {}, {}};
  for (int i = 0; i < 5; ++i) {
    small.tips.push_back({0, 0.1});
    small.joints.push_back({0, 0.05});
  }
  EXPECT_TRUE(PalmDetector::isOpenHand(small));
  EXPECT_LT(PalmDetector::reach(small), PalmDetector::minimumReach);
  EXPECT_EQ(PalmDetector::extensionRatio, 1.18);
  EXPECT_EQ(PalmDetector::fingersForOpenHand, 4);
  EXPECT_EQ(PalmDetector::minimumReach, 0.12);
}

TEST_F(PalmDetectorTest, LandmarksKeepConfidentFingersInThumbToLittleOrder) {
  RecognizedPoints points = openHandPoints();
  // Joints that are not used must not be picked up in place of the used ones.
  points[HandJointName::thumbMP] = {{0.9, 0.9}, 1.0f};
  points[HandJointName::indexDIP] = {{0.9, 0.9}, 1.0f};
  points[HandJointName::middleMCP] = {{0.9, 0.9}, 1.0f};
  const auto hand = PalmDetector::landmarks(HumanHandPoseObservation(points));
  ASSERT_TRUE(hand);
  EXPECT_EQ(hand->wrist, (Point{0.5, 0.2}));
  ASSERT_EQ(hand->tips.size(), 5u);
  ASSERT_EQ(hand->joints.size(), 5u);
  const HandJointName tips[] = {HandJointName::thumbTip, HandJointName::indexTip, HandJointName::middleTip,
                                HandJointName::ringTip, HandJointName::littleTip};
  const HandJointName joints[] = {HandJointName::thumbIP, HandJointName::indexPIP, HandJointName::middlePIP,
                                  HandJointName::ringPIP, HandJointName::littlePIP};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(hand->tips[i], points[tips[i]].location) << i;
    EXPECT_EQ(hand->joints[i], points[joints[i]].location) << i;
  }

  // A finger with a doubtful joint (or tip) is skipped; the others keep their order.
  points[HandJointName::indexPIP].confidence = 0.49f;
  const auto fourFingers = PalmDetector::landmarks(HumanHandPoseObservation(points));
  ASSERT_TRUE(fourFingers);
  ASSERT_EQ(fourFingers->tips.size(), 4u);
  EXPECT_EQ(fourFingers->tips[1], points[HandJointName::middleTip].location);
  EXPECT_EQ(fourFingers->joints[1], points[HandJointName::middlePIP].location);

  // A doubtful tip drops its finger just the same.
  RecognizedPoints doubtfulTip = openHandPoints();
  doubtfulTip[HandJointName::ringTip].confidence = 0.49f;
  const auto withoutRing = PalmDetector::landmarks(HumanHandPoseObservation(doubtfulTip));
  ASSERT_TRUE(withoutRing);
  ASSERT_EQ(withoutRing->tips.size(), 4u);
  EXPECT_EQ(withoutRing->tips[3], doubtfulTip[HandJointName::littleTip].location);
  EXPECT_EQ(withoutRing->joints[3], doubtfulTip[HandJointName::littlePIP].location);

  // Three fingers are not a hand at all.
  points.erase(HandJointName::ringTip);
  EXPECT_FALSE(PalmDetector::landmarks(HumanHandPoseObservation(points)));
}

TEST_F(PalmDetectorTest, TheWristMustBeSeenWithHalfConfidence) {
  RecognizedPoints points = openHandPoints();
  points[HandJointName::wrist].confidence = 0.49f;
  EXPECT_FALSE(PalmDetector::landmarks(HumanHandPoseObservation(points)));
  points[HandJointName::wrist].confidence = 0.5f;
  EXPECT_TRUE(PalmDetector::landmarks(HumanHandPoseObservation(points)));
  points.erase(HandJointName::wrist);
  EXPECT_FALSE(PalmDetector::landmarks(HumanHandPoseObservation(points)));
  // Every point at exactly 0.5 is enough.
  EXPECT_TRUE(PalmDetector::landmarks(HumanHandPoseObservation(openHandPoints(0.3, 0.5f))));
  EXPECT_FALSE(PalmDetector::landmarks(HumanHandPoseObservation(openHandPoints(0.3, 0.4999f))));
}

TEST_F(PalmDetectorTest, ObservationsWithoutPointsGiveNoHand) {
  EXPECT_FALSE(PalmDetector::landmarks(HumanHandPoseObservation()));
  EXPECT_FALSE(PalmDetector::landmarks(HumanHandPoseObservation::unreadable({3, "no points"})));
}

TEST_F(PalmDetectorTest, AnOpenHandInTheFrameIsFoundWithOneHandRequested) {
  simulatedHandPose().enqueueHands({HumanHandPoseObservation(openHandPoints())});
  EXPECT_TRUE(PalmDetector::openHandPresent(frame()));
  const auto performed = simulatedHandPose().performed();
  ASSERT_EQ(performed.size(), 1u);
  EXPECT_EQ(performed[0].maximumHandCount, 1);
  EXPECT_EQ(performed[0].frameWidth, 64);
  EXPECT_EQ(performed[0].frameHeight, 48);
  // Nothing is remembered: the next frame (no hands) is judged alone.
  EXPECT_FALSE(PalmDetector::openHandPresent(frame()));
  simulatedHandPose().enqueueHands({HumanHandPoseObservation(fistPoints())});
  EXPECT_FALSE(PalmDetector::openHandPresent(frame()));
  EXPECT_TRUE(logs().messages("face").empty());
}

TEST_F(PalmDetectorTest, AFrameIsJudgedWithTheDetectorsRatioAndFingerCount) {
  // Fingers straight up from the wrist (0.5, 0.2), tips at 0.5: a joint at 0.44 makes a
  // ratio of 1.25 (extended), one at 0.46 about 1.154 (not).
  const auto hand = [](int extended) {
    RecognizedPoints points = openHandPoints(0.3, 0.9f, 0);
    const HandJointName joints[] = {HandJointName::thumbIP, HandJointName::indexPIP, HandJointName::middlePIP,
                                    HandJointName::ringPIP, HandJointName::littlePIP};
    for (int i = 0; i < 5; ++i) points[joints[i]].location = {0.5, i < 5 - extended ? 0.46 : 0.44};
    return HumanHandPoseObservation(points);
  };
  simulatedHandPose().enqueueHands({hand(5)});
  EXPECT_TRUE(PalmDetector::openHandPresent(frame()));
  simulatedHandPose().enqueueHands({hand(4)});  // thumb folded: still open
  EXPECT_TRUE(PalmDetector::openHandPresent(frame()));
  simulatedHandPose().enqueueHands({hand(3)});
  EXPECT_FALSE(PalmDetector::openHandPresent(frame()));
  simulatedHandPose().enqueueHands({hand(0)});
  EXPECT_FALSE(PalmDetector::openHandPresent(frame()));
}

TEST_F(PalmDetectorTest, OnlyTheFirstReportedHandIsJudged) {
  // The simulated platform keeps only as many hands as the request asks for (one).
  simulatedHandPose().enqueueHands({HumanHandPoseObservation(fistPoints()),
                                    HumanHandPoseObservation(openHandPoints())});
  EXPECT_FALSE(PalmDetector::openHandPresent(frame()));
  simulatedHandPose().enqueueHands({HumanHandPoseObservation(openHandPoints()),
                                    HumanHandPoseObservation(fistPoints())});
  EXPECT_TRUE(PalmDetector::openHandPresent(frame()));
  // A doubtful first hand is not replaced by the second.
  simulatedHandPose().enqueueHands({HumanHandPoseObservation(openHandPoints(0.3, 0.2f)),
                                    HumanHandPoseObservation(openHandPoints())});
  EXPECT_FALSE(PalmDetector::openHandPresent(frame()));
}

TEST_F(PalmDetectorTest, AHandTooSmallInTheFrameIsIgnored) {
  // Tips 0.119 straight above the wrist: five extended fingers, but too far away.
  simulatedHandPose().enqueueHands({HumanHandPoseObservation(openHandPoints(0.119, 0.9f, 0))});
  EXPECT_FALSE(PalmDetector::openHandPresent(frame()));
  // 0.12 exactly passes (the wrist at the origin keeps the distance exact).
  const auto exact = HumanHandPoseObservation(openHandPoints(0.12, 0.9f, 0, {0, 0}));
  const auto hand = PalmDetector::landmarks(exact);
  ASSERT_TRUE(hand);
  EXPECT_EQ(PalmDetector::reach(*hand), 0.12);
  simulatedHandPose().enqueueHands({exact});
  EXPECT_TRUE(PalmDetector::openHandPresent(frame()));
  // Spread fingers reach farther than the middle one: the farthest tip counts.
  simulatedHandPose().enqueueHands({HumanHandPoseObservation(openHandPoints(0.119, 0.9f, 0.01))});
  EXPECT_TRUE(PalmDetector::openHandPresent(frame()));
}

TEST_F(PalmDetectorTest, AFailedRequestIsLoggedAndAnsweredFalse) {
  simulatedHandPose().enqueueError({11, "The camera frame could not be read"});
  EXPECT_FALSE(PalmDetector::openHandPresent(frame()));
  const auto entries = logs().entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].category, "face");
  EXPECT_EQ(entries[0].level, platform::log::Level::Error);
  EXPECT_EQ(entries[0].message, "Hand pose request failed: The camera frame could not be read");
  // An observation whose points cannot be read is simply no hand, without a log.
  simulatedHandPose().enqueueHands({HumanHandPoseObservation::unreadable({3, "unreadable"})});
  EXPECT_FALSE(PalmDetector::openHandPresent(frame()));
  EXPECT_EQ(logs().entries().size(), 1u);
}

TEST(HandPoseObservationTest, GroupsSelectTheirJoints) {
  const HumanHandPoseObservation observation(openHandPoints());
  const auto thumb = std::get<RecognizedPoints>(
      observation.recognizedPoints(platform::vision::HandJointsGroupName::thumb));
  EXPECT_EQ(thumb.size(), 2u);  // thumb tip and IP of the built hand
  EXPECT_TRUE(thumb.count(HandJointName::thumbTip));
  const auto all = std::get<RecognizedPoints>(
      observation.recognizedPoints(platform::vision::HandJointsGroupName::all));
  EXPECT_EQ(all.size(), 11u);
  EXPECT_STREQ(platform::vision::handJointNameText(HandJointName::littlePIP), "littlePIP");
}

}  // namespace
