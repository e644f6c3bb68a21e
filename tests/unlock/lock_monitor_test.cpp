// The lock monitor on the simulated machine: its belief, its callbacks, the wake re-check
// timeline and what voids it, the session's real lock state and the display wake.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "platform/shared.hpp"
#include "support/platform_fixture.hpp"
#include "support/simulated_lock_machine.hpp"
#include "unlock/lock_monitor.hpp"

namespace {

using quorvel::LockMonitor;
using quorvel::testing::lockMachine;
namespace notes = platform::notifications;
namespace ws = platform::windowserver;

class LockMonitorTest : public quorvel::testing::PlatformTest {
 protected:
  struct Call {
    std::string what;
    double at;
  };

  void SetUp() override {
    PlatformTest::SetUp();
    auto& monitor = LockMonitor::shared();
    monitor.onLock = [this] { calls.push_back({"lock", now()}); };
    monitor.onUnlock = [this] { calls.push_back({"unlock", now()}); };
    monitor.onWake = [this] { calls.push_back({"wake", now()}); };
    monitor.onSleep = [this] { calls.push_back({"sleep", now()}); };
    monitor.start();
  }

  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& call : calls) out.push_back(call.what);
    return out;
  }
  std::vector<double> wakeTimes(double since) const {
    std::vector<double> out;
    for (const auto& call : calls) {
      if (call.what == "wake") out.push_back(std::round((call.at - since) * 1000) / 1000);
    }
    return out;
  }
  long logCount(const std::string& message) { return std::ranges::count(logs().messages("unlock"), message); }
  void postLocked() { lockMachine().distributed().post(notes::kScreenIsLocked); }
  void postUnlocked() { lockMachine().distributed().post(notes::kScreenIsUnlocked); }

  std::vector<Call> calls;
};

// Every line the monitor writes, over two locks, a sleep, a wake and an unlock: the exact texts
// in order, all at info level on the unlock logger of the application's subsystem. The second
// lock notification is ignored. A sleep calls back without a line, keeps the belief and voids
// pending wake checks.
TEST_F(LockMonitorTest, EveryLineIsInfoOnTheUnlockLogger) {
  lockMachine().lock();
  runUntilIdle();
  const auto counter = LockMonitor::shared().wakeReconciliationID;
  postLocked();
  runUntilIdle();
  EXPECT_EQ(LockMonitor::shared().wakeReconciliationID, counter) << "an ignored lock must not bump the counter";
  lockMachine().sleepScreens();
  runUntilIdle();
  EXPECT_TRUE(LockMonitor::shared().isLocked);
  EXPECT_EQ(LockMonitor::shared().wakeReconciliationID, counter + 1);
  lockMachine().wakeScreens();
  advance(3.0);
  lockMachine().unlockByUser();
  runUntilIdle();
  ASSERT_EQ(names(), (std::vector<std::string>{"lock", "sleep", "wake", "wake", "wake", "wake", "wake", "unlock"}));
  const auto entries = logs().entries();
  std::vector<std::string> texts;
  for (const auto& entry : entries) {
    texts.push_back(entry.message);
    EXPECT_EQ(entry.level, platform::log::Level::Info) << entry.message;
    EXPECT_EQ(entry.category, "unlock") << entry.message;
    EXPECT_EQ(entry.subsystem, "com.tessmin.quorvel") << entry.message;
  }
  EXPECT_EQ(texts, (std::vector<std::string>{"Screen locked", "Screens woke", "Screen unlocked"}));
  EXPECT_FALSE(LockMonitor::shared().isLocked);
}

// An unlock is passed on only when the monitor believed the screen locked; the wake re-checks
// fire only while the session is locked.
TEST_F(LockMonitorTest, UnlockAndWakeAreActedOnOnlyWhenLocked) {
  postUnlocked();
  runUntilIdle();
  EXPECT_EQ(logCount("Screen unlocked"), 0);
  EXPECT_EQ(LockMonitor::shared().wakeReconciliationID, 1) << "an unlock always bumps the counter";
  lockMachine().wakeScreens();
  advance(3.0);
  EXPECT_TRUE(calls.empty());
  EXPECT_FALSE(LockMonitor::shared().isLocked);
  lockMachine().session().setScreenLocked(true);
  const double woke = now();
  lockMachine().wakeScreens();
  advance(3.0);
  EXPECT_EQ(wakeTimes(woke), (std::vector<double>{0.0, 0.25, 0.6, 1.2, 2.0}));
  EXPECT_EQ(names().size(), 5u);
  EXPECT_TRUE(LockMonitor::shared().isLocked);
  EXPECT_EQ(logCount("Screens woke"), 2);
}

// After a wake, an unlock notification voids the later checks, and so does a lock notification
// that finds the monitor believing the screen unlocked.
TEST_F(LockMonitorTest, ANotificationAfterAWakeVoidsTheLaterChecks) {
  lockMachine().session().setScreenLocked(true);
  const double woke = now();
  lockMachine().wakeScreens();
  advance(0.5);
  postUnlocked();  // the session still reads locked: only the counter stops the checks
  advance(3.0);
  EXPECT_EQ(wakeTimes(woke), (std::vector<double>{0.0, 0.25}));
  EXPECT_EQ(names(), (std::vector<std::string>{"wake", "wake", "unlock"}));

  calls.clear();
  lockMachine().session().setScreenLocked(false);
  lockMachine().wakeScreens();
  advance(0.05);  // the check at 0 found the session unlocked
  lockMachine().session().setScreenLocked(true);
  advance(0.05);
  postLocked();
  advance(3.0);
  EXPECT_EQ(names(), std::vector<std::string>{"lock"});
  EXPECT_TRUE(LockMonitor::shared().isLocked);
}

TEST_F(LockMonitorTest, SleepAndASecondWakeVoidTheEarlierChecks) {
  lockMachine().session().setScreenLocked(true);
  lockMachine().wakeScreens();
  advance(0.3);  // checks at 0 and 0.25 fired
  lockMachine().sleepScreens();
  advance(1.0);
  EXPECT_EQ(names(), (std::vector<std::string>{"wake", "wake", "sleep"}));
  calls.clear();
  const double woke = now();
  lockMachine().wakeScreens();
  advance(0.3);
  lockMachine().wakeScreens();  // the second wake restarts the timeline
  const double second = now();
  advance(3.0);
  EXPECT_EQ(wakeTimes(woke).size(), 2u + 5u);
  EXPECT_EQ(wakeTimes(second), (std::vector<double>{-0.3, -0.05, 0.0, 0.25, 0.6, 1.2, 2.0}));
}

TEST_F(LockMonitorTest, ChecksOfAMonitorThatIsGoneDoNothing) {
  lockMachine().session().setScreenLocked(true);
  lockMachine().wakeScreens();
  runUntilIdle();
  ASSERT_EQ(names().size(), 1u);
  platform::resetSharedInstances();
  advance(3.0);
  lockMachine().lock();
  runUntilIdle();
  EXPECT_EQ(names().size(), 1u);
}

TEST_F(LockMonitorTest, SessionDictionaryDecidesTheRealLockState) {
  auto& session = lockMachine().session();
  session.setScreenLocked(true);
  EXPECT_TRUE(LockMonitor::isScreenActuallyLocked());
  session.setScreenLocked(false);
  EXPECT_FALSE(LockMonitor::isScreenActuallyLocked());
  session.setValue(ws::kSessionScreenIsLockedKey, ws::SessionValue(std::int64_t{1}));
  EXPECT_FALSE(LockMonitor::isScreenActuallyLocked()) << "a number is not a Boolean";
  session.setValue(ws::kSessionScreenIsLockedKey, ws::SessionValue(std::string("true")));
  EXPECT_FALSE(LockMonitor::isScreenActuallyLocked());
  session.setDictionary(ws::SessionDictionary{{"kCGSSessionOnConsoleKey", ws::SessionValue(true)}});
  EXPECT_FALSE(LockMonitor::isScreenActuallyLocked()) << "an absent key counts as unlocked";
  session.setDictionary(std::nullopt);
  EXPECT_FALSE(LockMonitor::isScreenActuallyLocked());
}

// A refused assertion is ignored; a granted one is released at once.
TEST_F(LockMonitorTest, WakeDisplayCreatesAndReleasesADisplayAssertion) {
  auto& power = lockMachine().power();
  power.setCreateResult(platform::power::kIOReturnUnsupported);
  LockMonitor::shared().wakeDisplay();
  EXPECT_TRUE(power.created().empty());
  EXPECT_EQ(power.releaseCount(), 0u);
  EXPECT_TRUE(logs().messages().empty());
  power.setCreateResult(platform::power::kIOReturnSuccess);
  power.setDisplayAsleep(true);
  LockMonitor::shared().wakeDisplay();
  ASSERT_EQ(power.created().size(), 1u);
  const auto made = power.created()[0];
  EXPECT_EQ(made.type, "NoDisplaySleepAssertion");
  EXPECT_EQ(made.level, 255u);
  EXPECT_EQ(made.name, "Quorvel face unlock");
  EXPECT_EQ(power.heldCount(), 0u);
  EXPECT_EQ(power.releaseCount(), 1u);
  EXPECT_FALSE(power.displayAsleep());
}

}  // namespace
