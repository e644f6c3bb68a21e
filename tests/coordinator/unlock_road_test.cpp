// Whole unlock roads on the simulated machine with virtual time: lock, camera, frames,
// match, typing into the login window, the unlock notification and the overlay's answer;
// and the ways the hand-over to the unlocker can go wrong.
#include <gtest/gtest.h>

#include <algorithm>

#include "coordinator/coordinator_fixture.hpp"
#include "platform/events/events.hpp"
#include "unlock/unlocker.hpp"

namespace quorvel::testing {
namespace {

class UnlockRoadTest : public CoordinatorTest {
 protected:
  std::u16string typed() {
    std::u16string text;
    for (const auto& posted : lockMachine().events().posted()) {
      if (posted.event.isKeyDown()) text += posted.event.unicodeString();
    }
    return text;
  }
};

TEST_F(UnlockRoadTest, ALockedScreenIsUnlockedByTheEnrolledFace) {
  lockFacing(face, 0.2);  // instant match, and close enough to learn
  ASSERT_TRUE(coordinator().isActive());
  const auto attempt = coordinator().currentAttempt();
  ASSERT_TRUE(attempt);
  EXPECT_EQ(simulatedCamera().startsRequested(), 1);

  advance(0.5);  // the first frame matches (the panel shows from 0.3 s)
  EXPECT_FALSE(coordinator().isActive());
  EXPECT_TRUE(coordinator().hasSucceeded());
  EXPECT_EQ(coordinator().currentAttempt(), attempt) << "kept until the unlock arrives";
  EXPECT_EQ(countLogs("Match: 0.200000, liveness 0.900000"), 1);
  EXPECT_EQ(levelOf("Match: 0.200000, liveness 0.900000"), platform::log::Level::Info);
  EXPECT_EQ(FaceprintStore::shared().count(), 2u) << "the probe is learned";
  EXPECT_EQ(livenessRuns(), 1u);
  EXPECT_TRUE(lockMachine().events().posted().empty());

  advance(0.39);  // typing: the password after 0.35 s, then Return 0.04 s later
  EXPECT_EQ(typed(), kPassword16);
  EXPECT_EQ(lockMachine().unlocksByLoginWindow(), 1);
  EXPECT_FALSE(lockMachine().sessionLocked());
  EXPECT_FALSE(coordinator().hasSucceeded());
  EXPECT_FALSE(coordinator().currentAttempt());
  EXPECT_EQ(simulatedCamera().framesDelivered(), 1) << "the camera stopped at the hand-over";

  // Confirmed by the unlock notification, not by the success animation's own 1.9 s fallback.
  advance(0.6);
  EXPECT_EQ(overlayEvents(), (std::vector<std::string>{"scan", "tick", "retract"}));
  advance(5);
  // The unlocker's confirmation was cancelled by the notification and changed nothing.
  EXPECT_FALSE(logged("Unlocked by face"));
  for (const auto& line : unlockLogs()) EXPECT_EQ(line.find("Unlock failed"), std::string::npos) << line;
  EXPECT_EQ(lockMachine().events().posted().size(), 4u);
}

TEST_F(UnlockRoadTest, TwoMatchesBeforeTheSuccessStepTypeThePasswordOnce) {
  enrolAt(face, 0.4);
  lockScreen();
  advance(0.5);  // the panel is open; the camera has sent nothing yet
  coordinator().camera()->onFrame(face);
  coordinator().camera()->onFrame(face);
  EXPECT_EQ(countLogs("Match: 0.400000, liveness 0.900000"), 2);
  advance(2);
  EXPECT_EQ(typed(), kPassword16);
  EXPECT_EQ(lockMachine().events().posted().size(), 4u);
  EXPECT_EQ(lockMachine().unlocksByLoginWindow(), 1);
  EXPECT_EQ(overlayEvents(), (std::vector<std::string>{"scan", "tick", "retract"}));
}

TEST_F(UnlockRoadTest, ASecondLockNotificationOrWakeCheckDuringAnAttemptDoesNothing) {
  lockFacing(face, 0.9);
  const auto attempt = coordinator().currentAttempt();
  lockMachine().distributed().post(platform::notifications::kScreenIsLocked);
  lockMachine().wakeScreens();  // the re-checks find the session locked and fire onWake
  advance(2.5);
  EXPECT_EQ(coordinator().currentAttempt(), attempt);
  EXPECT_EQ(simulatedCamera().startsRequested(), 1);
  EXPECT_EQ(overlayEvents(), std::vector<std::string>{"scan"});
}

TEST_F(UnlockRoadTest, TheSuccessStepDoesNothingOnceTheScreenIsNoLongerLocked) {
  lockFacing(face, 0.2);
  // The session unlocks without a notification reaching the monitor.
  lockMachine().session().setScreenLocked(false);
  advance(1.0);
  EXPECT_GE(countLogs("Match: 0.200000, liveness 0.900000"), 1);
  EXPECT_TRUE(coordinator().isActive()) << "the attempt stays as it is";
  EXPECT_FALSE(coordinator().hasSucceeded());
  EXPECT_TRUE(lockMachine().events().posted().empty());
  EXPECT_EQ(overlayEvents(), std::vector<std::string>{"scan"});
  advance(21);  // the deadline still ends it
  EXPECT_FALSE(coordinator().isActive());
  EXPECT_EQ(overlayEvents(),
            (std::vector<std::string>{"scan", "message:Not recognised \u2014 type your password", "retract"}));
}

// Every unlocker failure but `cancelled` reaches the overlay with its own text. The overlay
// is then playing its success animation, which takes a failure as the end of the
// presentation: the panel comes down at once instead of waiting for its 1.9 s fallback.
struct FailureCase {
  const char* name;
  std::function<void()> arrange;
  double settle;
  const char* text;
};

TEST_F(UnlockRoadTest, UnlockerFailuresAreShownWithTheirOwnText) {
  const std::vector<FailureCase> cases = {
      {"accessibility", [] { lockMachine().accessibility().setTrusted(false); }, 0.2,
       "Accessibility permission is off"},
      {"focus", [] { lockMachine().focus(lockMachine().finderPID()); }, 0.2,
       "Could not confirm the lock screen was ready; nothing more was typed"},
      {"password", [] { PasswordVault::clear(); }, 0.6, "No password saved"},
      {"events", [] { lockMachine().events().setSourceCreationFails(true); }, 0.6,
       "Could not create an input event"},
      {"wrong password", [] { lockMachine().setUserPassword(u"something else"); }, 1.5,
       "Unlock not confirmed; use Touch ID or your password"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    lockFacing(face, 0.2);
    c.arrange();
    advance(0.5 + c.settle);
    EXPECT_EQ(countLogs(std::string("Unlock failed: ") + c.text), 1);
    EXPECT_EQ(levelOf(std::string("Unlock failed: ") + c.text), platform::log::Level::Error);
    EXPECT_FALSE(coordinator().hasSucceeded());
    const auto events = overlayEvents();  // already down
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events.front(), "scan");
    EXPECT_EQ(events.back(), "hide");
    EXPECT_EQ(std::count(events.begin(), events.end(), "retract"), 0);
    advance(0.2);
    EXPECT_EQ(overlayEvents(), events);
  }
}

// The unlocker's request cancelled by a sleep, or replaced by another client's request while
// the attempt is still current: no failure is logged, and nothing hides the success animation.
TEST_F(UnlockRoadTest, ACancelledUnlockIsSilent) {
  for (const bool bySleep : {true, false}) {
    SCOPED_TRACE(bySleep ? "sleep" : "a newer request");
    TearDown();
    SetUp();
    lockFacing(face, 0.2);
    advance(0.6);  // handed over; the first key waits 0.35 s
    ASSERT_TRUE(coordinator().hasSucceeded());
    if (bySleep) {
      lockMachine().sleepScreens();
      runUntilIdle();
    } else {
      Unlocker::unlock([](Unlocker::Result) {});
      EXPECT_TRUE(coordinator().hasSucceeded()) << "a cancelled request is no failure of the attempt";
    }
    advance(3);
    EXPECT_EQ(lockMachine().events().posted().empty(), bySleep);
    for (const auto& line : unlockLogs()) EXPECT_EQ(line.find("Unlock failed"), std::string::npos) << line;
    // Only the success animation runs out by itself; nothing hides it or shows a message.
    EXPECT_EQ(overlayEvents(), (std::vector<std::string>{"scan", "tick", "retract"}));
  }
}

TEST_F(UnlockRoadTest, UnlockedByFaceIsLoggedWhenTheConfirmationComesFirst) {
  lockFacing(face, 0.2);
  // The coordinator never hears of the unlock: only the unlocker's own check sees it.
  LockMonitor::shared().onUnlock = nullptr;
  advance(2);
  EXPECT_EQ(lockMachine().unlocksByLoginWindow(), 1);
  EXPECT_EQ(countLogs("Unlocked by face"), 1);
  EXPECT_EQ(levelOf("Unlocked by face"), platform::log::Level::Info);
}

TEST_F(UnlockRoadTest, AWakeCheckAfterTheHandOverStartsAFreshAttempt) {
  lockFacing(face, 0.2);
  advance(0.5);
  const auto first = coordinator().currentAttempt();
  ASSERT_TRUE(coordinator().hasSucceeded());
  // No face in front of the camera any more; the screens wake while the typing is pending.
  play({emptyFrame()}, 10);
  lockMachine().wakeScreens();
  runUntilIdle();
  ASSERT_TRUE(coordinator().isActive());
  EXPECT_FALSE(coordinator().hasSucceeded());
  EXPECT_NE(coordinator().currentAttempt(), first);
  EXPECT_EQ(simulatedCamera().startsRequested(), 2);
  advance(0.4);  // the first request types and the session unlocks
  EXPECT_EQ(lockMachine().unlocksByLoginWindow(), 1);
  EXPECT_FALSE(coordinator().isActive());
  advance(3);
  EXPECT_FALSE(logged("Unlocked by face"));
  const auto events = overlayEvents();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back(), "hide") << "the new attempt is hidden, not confirmed";
}

}  // namespace
}  // namespace quorvel::testing
