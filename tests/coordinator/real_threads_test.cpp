// The coordinator on real threads: frames handled on the camera's own queue while the main
// thread runs the lock handling, the success step, the typing and the overlay.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "coordinator/coordinator_fixture.hpp"
#include "platform/dispatch/dispatch.hpp"

namespace quorvel::testing {
namespace {

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

TEST_F(RealThreadsTest, AFaceUnlocksTheScreenWithFramesOnTheCameraQueue) {
  const Frame face = faceFrame(90);
  enrolAt(face, 0.45);  // three frames in a row are needed
  play({emptyFrame(), face, face, face}, 40);
  lockMachine().lock();
  const bool unlocked = platform::dispatch::runMainLoopUntil(
      [this] { return lockMachine().unlocksByLoginWindow() == 1 && !coordinator().currentAttempt(); }, 20);
  EXPECT_TRUE(unlocked);
  waitForCameraToStop();
  EXPECT_FALSE(coordinator().isActive());
  EXPECT_FALSE(lockMachine().sessionLocked());
  EXPECT_GE(countLogs("Match: 0.450000, liveness 0.900000"), 1);
  EXPECT_GE(coordinator().testResult().framesSeen, 3);
}

TEST_F(RealThreadsTest, AMatchTestReportsOnTheMainThread) {
  const Frame face = faceFrame(90);
  enrolAt(face, 0.2);
  play({face}, 40);
  std::atomic<bool> done{false};
  std::atomic<bool> onMain{false};
  UnlockCoordinator::TestResult result;
  coordinator().runTest([&](UnlockCoordinator::TestResult r) {
    result = r;
    onMain = platform::dispatch::isMainThread();
    done = true;
  });
  EXPECT_TRUE(platform::dispatch::runMainLoopUntil([&] { return done.load(); }, 10));
  waitForCameraToStop();
  EXPECT_TRUE(onMain);
  EXPECT_TRUE(result.wouldUnlock);
  EXPECT_GE(result.framesSeen, 1);
  EXPECT_EQ(result.framesWithFace, result.framesSeen);
  EXPECT_TRUE(lockMachine().events().posted().empty());
}

TEST_F(RealThreadsTest, ALockInTheMomentATestEndsOnTheCameraQueueGetsAWholeAttempt) {
  const Frame face = faceFrame(90);
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
  std::atomic<bool> reported{false};
  coordinator().runTest([&](UnlockCoordinator::TestResult) { reported = true; });
  ASSERT_TRUE(platform::dispatch::runMainLoopUntil([&] { return reported.load(); }, 10));
  ASSERT_TRUE(held);
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

}  // namespace
}  // namespace quorvel::testing
