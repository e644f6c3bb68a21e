// An attempt replaced while one of its frames is still in hand, or while one of its steps
// still waits on the main queue: nothing of it may reach the attempt that follows. And the
// hand-over from a test ending on the camera queue to a lock on the main thread, on real
// threads. (The whole unlock road on real threads runs in the session tests.)
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "coordinator/coordinator_fixture.hpp"
#include "platform/dispatch/dispatch.hpp"

namespace quorvel::testing {
namespace {

using TestResult = UnlockCoordinator::TestResult;

using ReplacedAttemptTest = CoordinatorTest;

// The first test is replaced (sleep ends it and a second one starts) while its frame is in
// hand: while the frame's face is looked for, or while liveness is asked for its report or,
// when that run failed, for its decision (the frame then goes on to a match of the first test).
// Nothing of that frame reaches the second test.
TEST_F(ReplacedAttemptTest, AFrameOfAReplacedTestLeavesTheNextTestAlone) {
  enum class Replaced { inFaceRequest, inReport, inDecision };
  for (const Replaced when : {Replaced::inFaceRequest, Replaced::inReport, Replaced::inDecision}) {
    SCOPED_TRACE(static_cast<int>(when));
    TearDown();
    SetUp();
    enrolAt(face, 0.2);
    play({face}, 2);
    std::vector<TestResult> first, second;
    const auto replace = [&] {
      coordinator().screenDidSleep();
      coordinator().runTest([&](TestResult r) { second.push_back(r); });
    };
    if (when == Replaced::inFaceRequest) simulatedFaceLandmarks().runDuringNextRequest(replace);
    int calls = 0;
    answerLiveness([&]() -> std::optional<float> {
      ++calls;
      // The report's run fails: only a decision that asks again replaces the first test.
      if (when == Replaced::inDecision && calls == 1) return std::nullopt;
      if (when == Replaced::inFaceRequest || calls != (when == Replaced::inDecision ? 2 : 1)) return 0.1f;
      replace();
      return 0.9f;
    });
    coordinator().runTest([&](TestResult r) { first.push_back(r); });
    advance(5);
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(first[0].framesWithFace, when == Replaced::inFaceRequest ? 0 : 1);
    EXPECT_FALSE(second[0].wouldUnlock);
    EXPECT_NEAR(second[0].bestLiveness, 0.1f, 1e-6);
    EXPECT_EQ(second[0].framesSeen, second[0].framesWithFace);
    EXPECT_EQ(second[0].framesSeen, 7) << "its own frames, 0.5 to 3.5 s";
  }
}

// The step scheduled by the replaced attempt's frame runs after the replacement.
TEST_F(ReplacedAttemptTest, ASuccessOrTimeOutStepOfAReplacedAttemptDoesNothing) {
  struct Case {
    const char* name;
    double distance;
    float first;
    double notBefore;
  };
  for (const Case& c : {Case{"success", 0.2, 0.9f, 0}, Case{"no-match time-out", 0.45, 0.1f, 8.3}}) {
    SCOPED_TRACE(c.name);
    enrolAt(face, c.distance);
    play({face}, 4);
    // The first liveness answer from `notBefore` on has a sleep and a lock follow on the main
    // queue; every other answer is 0.1.
    auto done = std::make_shared<bool>(false);
    const double from = now() + c.notBefore;
    answerLiveness([=, this]() -> std::optional<float> {
      if (*done || now() < from) return 0.1f;
      *done = true;
      platform::dispatch::mainQueue().async([this] {
        coordinator().screenDidSleep();
        coordinator().screenDidLock();
      });
      return c.first;
    });
    lockScreen();
    const auto replaced = coordinator().currentAttempt();
    advance(c.notBefore + 0.3);
    EXPECT_TRUE(coordinator().isActive());
    EXPECT_NE(coordinator().currentAttempt(), replaced);
    EXPECT_FALSE(coordinator().hasSucceeded());
    EXPECT_TRUE(lockMachine().events().posted().empty());
    lockMachine().unlockByUser();
    runUntilIdle();
  }
  EXPECT_EQ(countLogs("Face present but no match for 8.000000s, giving up"), 1);
}

class RealThreadsTest : public CoordinatorTest {
 protected:
  void SetUp() override {
    CoordinatorTest::SetUp();
    platform::dispatch::install(platform::dispatch::makeRealScheduler());
  }
  // Waits until the camera has stopped, so that no frame is still on its way at tear-down.
  void waitForCameraToStop() {
    EXPECT_TRUE(platform::dispatch::runMainLoopUntil([this] { return !coordinator().camera()->isRunning(); }, 10));
  }
};

TEST_F(RealThreadsTest, ALockInTheMomentATestEndsOnTheCameraQueueGetsAWholeAttempt) {
  enrolAt(face, 0.2);
  play({face}, 40);
  // The test's match ends it on the camera queue. At that moment, held there, the main thread
  // handles a lock. The session is not locked, so the new attempt's matches are never handed
  // over: it must simply keep scanning.
  std::mutex mutex;
  std::condition_variable handled;
  bool locked = false;
  std::atomic<bool> held{false};
  coordinator().onAttemptEnded = [&] {
    if (platform::dispatch::isMainThread() || held.exchange(true)) return;
    platform::dispatch::mainQueue().async([&] {
      coordinator().screenDidLock();
      std::lock_guard<std::mutex> guard(mutex);
      locked = true;
      handled.notify_all();
    });
    std::unique_lock<std::mutex> guard(mutex);
    handled.wait_for(guard, std::chrono::seconds(10), [&] { return locked; });
  };
  // The test's report comes on the main thread.
  std::atomic<bool> reported{false}, onMain{false};
  UnlockCoordinator::TestResult result;
  coordinator().runTest([&](UnlockCoordinator::TestResult r) {
    result = r;
    onMain = platform::dispatch::isMainThread();
    reported = true;
  });
  ASSERT_TRUE(platform::dispatch::runMainLoopUntil([&] { return reported.load(); }, 10));
  ASSERT_TRUE(held);
  EXPECT_TRUE(onMain);
  EXPECT_TRUE(result.wouldUnlock);
  EXPECT_EQ(result.framesWithFace, result.framesSeen);
  EXPECT_GE(result.framesSeen, 1);
  // The new attempt handles frames of its own (the test handled one).
  EXPECT_TRUE(platform::dispatch::runMainLoopUntil(
      [&] { return coordinator().currentAttempt() && coordinator().testResult().framesSeen >= 3; }, 5))
      << "the new attempt lost its UUID or its camera";
  EXPECT_TRUE(coordinator().isActive());
  EXPECT_EQ(coordinator().mode(), UnlockCoordinator::Mode::unlocking);
  coordinator().screenDidSleep();
  waitForCameraToStop();
  EXPECT_FALSE(coordinator().isActive());
}

// The face request is made alongside the open-hand check; an open-hand frame drops it unread,
// so its failure is never logged, as when the request comes after the check.
TEST_F(RealThreadsTest, AnOpenHandFrameDropsItsFaceRequestUnread) {
  enrolAt(faceFrame(90), 0.9);
  const Frame frame = emptyFrame();
  simulatedFaceLandmarks().script(frame, platform::vision::FaceLandmarksError{9, "The image could not be analysed."});
  simulatedHandPose().setDefaultHands({openHand()});
  play({frame}, 40);
  lockMachine().lock();
  EXPECT_TRUE(platform::dispatch::runMainLoopUntil([this] { return countLogs("Open hand held up, cancelling this unlock attempt") > 0; }, 20));
  waitForCameraToStop();
  EXPECT_GE(simulatedFaceLandmarks().requestCount(), 2);
  EXPECT_EQ(countLogs("Vision request failed: The image could not be analysed."), 0);
}

}  // namespace
}  // namespace quorvel::testing
