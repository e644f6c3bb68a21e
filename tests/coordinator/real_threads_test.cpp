// The coordinator on real threads: frames handled on the camera's own queue while the main
// thread runs the lock handling, the success step, the typing and the overlay.
#include <gtest/gtest.h>

#include <atomic>

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
