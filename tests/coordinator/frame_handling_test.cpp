// The per-frame road of an unlock attempt: the palm cancel, the gaze gate, the two in-attempt
// time-outs and which frames test them, dropped frames, lazy liveness and learning.
#include <gtest/gtest.h>

#include "coordinator/coordinator_fixture.hpp"

namespace quorvel::testing {
namespace {

class FrameHandlingTest : public CoordinatorTest {
 protected:
  void SetUp() override {
    CoordinatorTest::SetUp();
    enrolAt(face, 0.9);  // a stranger unless a test enrols closer
  }
  std::size_t handPoseRequests() { return simulatedHandPose().performed().size(); }
};

TEST_F(FrameHandlingTest, TwoOpenHandFramesInARowCancelTheAttempt) {
  enrolAt(face, 0.2);
  play({face}, 2);
  // The hand answers of frames 1 to 5: open, none, open, open (cancel), open.
  simulatedHandPose().enqueueHands({openHand()});
  simulatedHandPose().enqueueHands({});
  simulatedHandPose().enqueueHands({openHand()});
  simulatedHandPose().enqueueHands({openHand()});
  // Frame 2 would match: keep it from doing so with a low liveness, so the count is what
  // decides. Frame 1 is skipped (never scored), frame 2 resets the count.
  setLiveness(0.1f);
  lockScreen();
  advance(0.5);
  EXPECT_EQ(livenessRuns(), 0u) << "an open-hand frame is never scored";
  EXPECT_TRUE(coordinator().isActive());
  advance(0.5);
  EXPECT_EQ(livenessRuns(), 1u);
  advance(0.5);
  EXPECT_TRUE(coordinator().isActive()) << "one open hand after a face frame does not cancel";
  advance(0.5);
  EXPECT_FALSE(coordinator().isActive());
  EXPECT_EQ(countLogs("Open hand held up, cancelling this unlock attempt"), 1);
  EXPECT_EQ(levelOf("Open hand held up, cancelling this unlock attempt"), platform::log::Level::Info);
  EXPECT_EQ(handPoseRequests(), 4u);
  EXPECT_EQ(simulatedHandPose().performed().front().maximumHandCount, 1);
  EXPECT_EQ(simulatedHandPose().performed().front().frameWidth, 640);
  advance(3);
  EXPECT_EQ(overlayEvents(), (std::vector<std::string>{"scan", "palm", "message:Cancelled", "retract"}));
  EXPECT_EQ(livenessRuns(), 1u);
}

// The face is turned exactly to the gaze tolerance, and is still scored.
TEST_F(FrameHandlingTest, WithPalmToCancelOffAnOpenHandIsAnyOtherFrame) {
  Settings::shared().setPalmToCancel(false);
  const Frame edge = faceFrame(90, 0.35, -0.35);
  simulatedHandPose().setDefaultHands({openHand()});
  lockFacing(edge, 0.2);
  advance(0.5);
  EXPECT_EQ(handPoseRequests(), 0u) << "the hand is not even looked for";
  EXPECT_TRUE(coordinator().hasSucceeded());
  EXPECT_EQ(livenessRuns(), 1u);
  EXPECT_FALSE(logged("Open hand held up, cancelling this unlock attempt"));
}

TEST_F(FrameHandlingTest, EveryFurtherOpenHandFrameSchedulesAStaleCancel) {
  play({face}, 2);
  simulatedHandPose().setDefaultHands({openHand()});
  lockScreen();
  advance(0.5);  // the first open hand
  EXPECT_TRUE(coordinator().isActive());
  // Two more frames handled before the main queue runs the first cancel step: each logs and
  // schedules a cancel; the second step finds the attempt gone.
  coordinator().camera()->onFrame(face);
  coordinator().camera()->onFrame(face);
  EXPECT_TRUE(coordinator().isActive());
  EXPECT_EQ(countLogs("Open hand held up, cancelling this unlock attempt"), 2);
  runUntilIdle();
  EXPECT_FALSE(coordinator().isActive());
  advance(3);
  EXPECT_EQ(overlayEvents(), (std::vector<std::string>{"scan", "palm", "message:Cancelled", "retract"}));
}

// The in-attempt time-outs, each taken by the first frame past its limit: no face for 15 s ends
// the attempt silently; faces turned away (just past the gaze tolerance) and faces that match
// nobody give up 8 s after the first face. None of these frames asks for liveness.
TEST_F(FrameHandlingTest, AnInAttemptTimeOutEndsTheAttemptAtTheFirstFramePastItsLimit) {
  const std::string noMatch = "Face present but no match for 8.000000s, giving up";
  const std::vector<std::string> notRecognised{"scan", "message:Not recognised; type your password",
                                               "retract"};
  struct Case {
    const char* name;
    double fps;
    double limit;  // the last frame, from the lock, that does not end the attempt
    std::string line;
    std::vector<std::string> overlay;
  };
  const Case cases[] = {
      {"no face", 4, 15, "No face within 15.000000s, giving up", {"scan", "hide"}},
      {"turned away", 4, 8.25, noMatch, notRecognised},
      {"a stranger", 2, 8.5, noMatch, notRecognised},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();  // fresh frames for each case
    const std::vector<Frame> frames[] = {
        {emptyFrame()}, {faceFrame(90, 0.36, 0), faceFrame(90, 0, -0.351)}, {face}};
    play(frames[i], c.fps);
    lockScreen();
    advance(c.limit);
    EXPECT_TRUE(coordinator().isActive());
    EXPECT_FALSE(logged(c.line));
    advance(1 / c.fps);
    EXPECT_FALSE(coordinator().isActive());
    EXPECT_EQ(countLogs(c.line), 1);
    EXPECT_EQ(levelOf(c.line), platform::log::Level::Info);
    EXPECT_FALSE(logged("Match: 0.900000, liveness 0.900000"));
    EXPECT_EQ(livenessRuns(), 0u) << "turned faces and scores that meet no threshold never ask";
    EXPECT_EQ(FaceprintStore::shared().count(), 1u);
    advance(10);
    EXPECT_EQ(overlayEvents(), c.overlay);
  }
}

// Frames after which neither in-attempt time-out applies: the attempt runs to its deadline.
TEST_F(FrameHandlingTest, WithoutATimeOutTheAttemptEndsOnlyAtTheDeadline) {
  struct Case {
    const char* name;
    std::vector<Frame> first;
    double switchAt;
    std::vector<Frame> later;
  };
  for (int i = 0; i < 3; ++i) {
    TearDown();
    SetUp();  // fresh frames for each case
    const Frame empty = emptyFrame();
    const Frame unaligned = faceFrame(90, 0, 0, false);  // a face without landmarks
    const Case cases[] = {
        {"a face first seen at 14 s starts the match clock instead", {empty}, 13.6, {face}},
        {"a face seen once, then gone", {face, empty, empty, empty}, 0.6, {empty}},
        {"faces that cannot be described test no time-out", {unaligned}, 0.6, {unaligned}},
    };
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    play(c.first, 2);
    lockScreen();
    advance(c.switchAt);
    play(c.later, 2);
    advance(19.9 - c.switchAt);
    EXPECT_TRUE(coordinator().isActive());
    advance(0.2);  // the overall deadline
    EXPECT_FALSE(coordinator().isActive());
    EXPECT_FALSE(logged("No face within 15.000000s, giving up"));
    EXPECT_FALSE(logged("Face present but no match for 8.000000s, giving up"));
    advance(3);
    EXPECT_EQ(overlayEvents(),
              (std::vector<std::string>{"scan", "message:Not recognised \u2014 type your password", "retract"}));
  }
}

// Frames outside an attempt, or arriving while one is handled, are dropped and not counted.
TEST_F(FrameHandlingTest, AFrameArrivingWhileOneIsHandledIsDropped) {
  int requestsBefore = simulatedFaceLandmarks().requestCount();
  coordinator().camera()->onFrame(face);
  EXPECT_EQ(simulatedFaceLandmarks().requestCount(), requestsBefore) << "no attempt";
  enrolAt(face, 0.2);
  play({face}, 2);
  // The liveness model delivers another frame to the coordinator while the first is in hand.
  int nested = 0;
  answerLiveness([&]() -> std::optional<float> {
    ++nested;
    coordinator().camera()->onFrame(face);
    return 0.9f;
  });
  lockScreen();
  requestsBefore = simulatedFaceLandmarks().requestCount();
  advance(0.5);
  EXPECT_EQ(nested, 1);
  EXPECT_EQ(simulatedFaceLandmarks().requestCount() - requestsBefore, 1) << "the nested frame found no face";
  EXPECT_TRUE(coordinator().hasSucceeded());
  EXPECT_EQ(coordinator().testResult().framesSeen, 1) << "a dropped frame is not counted";
}

TEST_F(FrameHandlingTest, ACloseMatchIsLearnedAndAFarOneIsNot) {
  // 0.4: an instant match that is not close enough to learn (0.35).
  lockFacing(face, 0.4);
  advance(0.5);
  ASSERT_TRUE(coordinator().hasSucceeded());
  EXPECT_EQ(FaceprintStore::shared().count(), 1u);
  unlockByUser();

  enrolAt(face, 0.35);  // exactly the learn threshold
  lockScreen();
  advance(0.5);
  ASSERT_TRUE(coordinator().hasSucceeded());
  ASSERT_EQ(FaceprintStore::shared().count(), 2u);
  const auto vectors = FaceprintStore::shared().vectors(RecognitionEngine::dlib);
  EXPECT_EQ(vectors[1], descriptorOf(face)) << "the probe itself is stored";
  EXPECT_TRUE(FaceprintStore::shared().vectors(RecognitionEngine::arcface).empty());
  unlockByUser();

  // Scores 0.7 then 0.3: the frame's own 0.3 unlocks at once and would be close enough to
  // learn, but learning follows the smoothed 0.5.
  enrolAt(face, 0.7);
  lockScreen();
  advance(0.5);
  enrolAt(face, 0.3);
  advance(0.5);
  ASSERT_TRUE(coordinator().hasSucceeded());
  EXPECT_EQ(countLogs("Match: 0.500000, liveness 0.900000"), 1);
  EXPECT_EQ(FaceprintStore::shared().count(), 1u);
}

TEST_F(FrameHandlingTest, LivenessIsAskedOnlyWhenTheDecisionNeedsItAndOnceAFrame) {
  enrolAt(face, 0.45);  // sustained: three frames
  play({face}, 2);
  setLiveness(0.5f);  // below the floor: never unlocks
  lockScreen();
  advance(3.0);
  EXPECT_EQ(livenessRuns(), 6u);
  EXPECT_TRUE(coordinator().isActive());
  EXPECT_FALSE(coordinator().hasSucceeded());
  setLiveness(0.56f);
  advance(1.5);
  EXPECT_TRUE(coordinator().hasSucceeded());
  EXPECT_EQ(countLogs("Match: 0.450000, liveness 0.560000"), 1);
}

}  // namespace
}  // namespace quorvel::testing
