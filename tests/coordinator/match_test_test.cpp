// The match test: 4 seconds of scanning that never unlocks or touches the overlay and reports
// its counters to a completion on the main queue.
#include <gtest/gtest.h>

#include "coordinator/coordinator_fixture.hpp"

namespace quorvel::testing {
namespace {

using TestResult = UnlockCoordinator::TestResult;

class MatchTestTest : public CoordinatorTest {
 protected:
  UnlockCoordinator::TestCompletion record(const std::string& name = "test") {
    return [this, name](TestResult result) {
      EXPECT_TRUE(platform::dispatch::isMainThread());
      results.push_back(result);
      names.push_back(name);
      times.push_back(now());
    };
  }
  std::vector<TestResult> results;
  std::vector<std::string> names;
  std::vector<double> times;
};

TEST_F(MatchTestTest, AMatchEndsTheTestAtOnceWithoutUnlockingAndIsLearned) {
  enrolAt(face, 0.2);
  play({face}, 2);
  lockMachine().session().setScreenLocked(true);  // locked, without telling the coordinator
  coordinator().runTest(record());
  EXPECT_EQ(coordinator().mode(), UnlockCoordinator::Mode::testing);
  advance(0.5);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_DOUBLE_EQ(times[0], 0.5);
  const TestResult& result = results[0];
  EXPECT_NEAR(result.bestSimilarity, 0.2, 1e-6);
  EXPECT_NEAR(result.bestLiveness, 0.9f, 1e-6);
  EXPECT_EQ(result.framesWithFace, 1);
  EXPECT_EQ(result.framesSeen, 1);
  EXPECT_TRUE(result.wouldUnlock);
  EXPECT_FALSE(coordinator().isActive());
  EXPECT_FALSE(coordinator().currentAttempt());
  EXPECT_EQ(FaceprintStore::shared().count(), 2u) << "a test that decides to unlock learns too";
  EXPECT_EQ(livenessRuns(), 1u) << "computed once for the report and reused by the decision";
  advance(10);
  EXPECT_EQ(results.size(), 1u) << "the deadline of an ended test does nothing";
  EXPECT_TRUE(lockMachine().events().posted().empty());
  EXPECT_TRUE(overlayEvents().empty());
  EXPECT_FALSE(coordinator().camera()->isRunning());
}

TEST_F(MatchTestTest, ATestNeitherCancelsForAPalmNorGatesGazeNorTimesOut) {
  enrolAt(face, 0.9);
  const Frame turned = faceFrame(90, 0.6, 0.5);
  play({turned, emptyFrame()}, 8);
  simulatedHandPose().setDefaultHands({openHand()});
  setLiveness(0.7f);
  coordinator().runTest(record());
  advance(4.0);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].framesSeen, 31) << "frames at 0.125 s steps up to 3.875 s";
  EXPECT_EQ(results[0].framesWithFace, 16);
  EXPECT_NEAR(results[0].bestSimilarity, 0.9, 1e-6) << "turned faces are scored in a test";
  EXPECT_NEAR(results[0].bestLiveness, 0.7f, 1e-6);
  EXPECT_FALSE(results[0].wouldUnlock);
  EXPECT_EQ(livenessRuns(), 16u) << "every scored frame of a test runs liveness";
  EXPECT_TRUE(simulatedHandPose().performed().empty());
  EXPECT_TRUE(overlayEvents().empty());
  for (const auto& line : unlockLogs()) EXPECT_EQ(line.find("giving up"), std::string::npos) << line;
}

TEST_F(MatchTestTest, TheBestScoreIsSeededByTheFirstScoredFrameAndOnlyImproved) {
  // One enrolled print; each frame's score is its descriptor's distance to it.
  const Frame a = faceFrame(60), b = faceFrame(120), c = faceFrame(200);
  FaceDescriptor target = descriptorOf(a);
  const double db = MatchEngine::euclidean(descriptorOf(b), target);
  const double dc = MatchEngine::euclidean(descriptorOf(c), target);
  ASSERT_TRUE(FaceprintStore::shared().replaceEnrolled({target}, RecognitionEngine::dlib));
  setLiveness(0.1f);  // never unlocks, so every frame is scored
  const Frame unaligned = faceFrame(30, 0, 0, false);
  // The first face frame cannot be aligned: the first scored frame still seeds the best.
  play({unaligned, b, c, b}, 4);
  coordinator().runTest(record());
  advance(0.5);
  EXPECT_EQ(coordinator().testResult().framesWithFace, 2);
  EXPECT_NEAR(coordinator().testResult().bestSimilarity, db, 1e-9) << "seeded by the first scored frame";
  advance(0.5);
  const double best = std::min(db, dc);
  EXPECT_NEAR(coordinator().testResult().bestSimilarity, best, 1e-9);
  advance(3);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_NEAR(results[0].bestSimilarity, best, 1e-9);
  EXPECT_GT(std::max(db, dc), best) << "the frames differ, so a worse score was seen and ignored";
  EXPECT_NEAR(results[0].bestLiveness, 0.1f, 1e-6);
}

TEST_F(MatchTestTest, AFailedLivenessIsTriedAgainWhenTheDecisionNeedsIt) {
  enrolAt(face, 0.2);
  play({face}, 2);
  int calls = 0;
  answerLiveness([&]() -> std::optional<float> {
    if (++calls == 1) return std::nullopt;  // the report's run fails
    return 0.9f;
  });
  coordinator().runTest(record());
  advance(0.5);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_TRUE(results[0].wouldUnlock) << "the decision ran liveness again on the same frame";
  EXPECT_EQ(calls, 2);
}

// The test's deadline is 4 s after it started, whatever replaced its completion.
TEST_F(MatchTestTest, ASecondTestReplacesTheFirstCompletionAndRestartsTheCounters) {
  enrolAt(face, 0.9);
  play({face}, 2);
  coordinator().runTest(record("first"));
  advance(2.0);
  EXPECT_EQ(coordinator().testResult().framesSeen, 4);
  coordinator().runTest(record("second"));
  EXPECT_EQ(coordinator().testResult(), TestResult()) << "the counters restart";
  advance(1.999);
  EXPECT_TRUE(names.empty());
  advance(0.001);  // the running test's deadline
  ASSERT_EQ(names, std::vector<std::string>{"second"});
  EXPECT_FALSE(coordinator().isActive());
  EXPECT_EQ(results[0].framesSeen, 3) << "2.5, 3.0 and 3.5 s; the deadline comes before the frame at 4 s";
  advance(10);
  EXPECT_EQ(names, std::vector<std::string>{"second"});
}

TEST_F(MatchTestTest, SleepAndACameraThatWillNotStartEndATestWithItsCountersSoFar) {
  enrolAt(face, 0.9);
  play({face}, 2);
  coordinator().runTest(record("sleep"));
  advance(1.0);
  coordinator().screenDidSleep();
  EXPECT_TRUE(names.empty()) << "the completion comes later, never inside the call";
  runUntilIdle();
  ASSERT_EQ(names, std::vector<std::string>{"sleep"});
  EXPECT_EQ(results[0].framesSeen, 2);
  EXPECT_EQ(results[0].framesWithFace, 2);

  simulatedCamera().setFailsToStart(true);
  coordinator().runTest(record("camera"));
  advance(1.6);
  ASSERT_EQ(names, (std::vector<std::string>{"sleep", "camera"}));
  EXPECT_EQ(results[1], TestResult());
  EXPECT_TRUE(logged("Camera would not start after 5 attempts"));
  EXPECT_TRUE(overlayEvents().empty());
}

TEST_F(MatchTestTest, ARunTestDuringAnUnlockAttemptOnlyStoresItsCompletion) {
  enrolAt(face, 0.9);
  lockScreen();
  coordinator().runTest(record("waiting"));
  EXPECT_EQ(coordinator().mode(), UnlockCoordinator::Mode::unlocking);
  advance(21);
  EXPECT_TRUE(results.empty()) << "the unlock attempt's end does not report";
  lockMachine().unlockByUser();
  runUntilIdle();
  coordinator().runTest(record("later"));
  advance(4);
  EXPECT_EQ(names, std::vector<std::string>{"later"});
}

}  // namespace
}  // namespace quorvel::testing
