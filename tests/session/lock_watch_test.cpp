// The lock monitor fed by logind: lock, unlock, sleep and wake of our session, once each and
// in order; lock changes no signal announces; another user's session; the bus going away;
// and every way logind can fail to answer.
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include "platform/shared.hpp"
#include "session/session_test.hpp"
#include "unlock/lock_monitor.hpp"
#include "unlock/unlocker.hpp"

namespace quorvel::testing {
namespace {

using Events = std::vector<std::string>;

class LockWatchTest : public SessionTest {
 protected:
  void SetUp() override {
    SessionTest::SetUp();
    LockMonitor& monitor = LockMonitor::shared();
    monitor.onLock = [this] { heard.push_back("lock"); };
    monitor.onUnlock = [this] { heard.push_back("unlock"); };
    monitor.onSleep = [this] { heard.push_back("sleep"); };
    monitor.onWake = [this] { heard.push_back("wake"); };
    monitor.start();
  }
  static bool locked() { return LockMonitor::isScreenActuallyLocked(); }
  bool heardCount(std::size_t count) {
    return pump([&] { return heard.size() >= count; });
  }

  Events heard;
};

TEST_F(LockWatchTest, LockUnlockSleepAndWakeReachTheMonitorOnceEachInOrder) {
  // logind's signal, then the desktop's lock screen sets the hint: one lock.
  ASSERT_TRUE(buses().emitSessionSignal(kOwnSession, "Lock"));
  ASSERT_TRUE(pump(locked));
  ASSERT_TRUE(buses().emitPrepareForSleep(true));
  ASSERT_TRUE(buses().emitPrepareForSleep(false));
  ASSERT_TRUE(heardCount(3));
  // logind's Unlock only asks the lock screen: one that does not follow leaves it locked.
  ASSERT_TRUE(buses().setLockScreenFollowsUnlock(false));
  ASSERT_TRUE(buses().emitSessionSignal(kOwnSession, "Unlock"));
  settle();
  EXPECT_EQ(heard.size(), 3u);
  ASSERT_TRUE(buses().setLockScreenFollowsUnlock(true));
  ASSERT_TRUE(buses().emitSessionSignal(kOwnSession, "Unlock"));
  ASSERT_TRUE(pump([] { return !locked(); }));
  settle();
  // The wake's first re-check found the session locked; the unlock voided the others.
  EXPECT_EQ(heard, (Events{"lock", "sleep", "wake", "unlock"}));
  EXPECT_EQ(logs().messages("unlock"), (Events{"Screen locked", "Screens woke", "Screen unlocked"}));
}

TEST_F(LockWatchTest, LockedHintChangesAloneAreSeenAndWakeChecksReadTheRealState) {
  // A desktop locking by itself only sets the hint.
  ASSERT_TRUE(buses().setLockedHint(kOwnSession, true));
  ASSERT_TRUE(heardCount(1));
  ASSERT_TRUE(buses().setLockedHint(kOwnSession, false));
  ASSERT_TRUE(heardCount(2));
  // A change no signal announces is found by the wake checks, each reading logind anew.
  for (bool hint : {true, false}) {
    ASSERT_TRUE(buses().setLockedHint(kOwnSession, hint, /*quietly=*/true));
    ASSERT_TRUE(buses().emitPrepareForSleep(false));
    ASSERT_TRUE(pump([&] { return logs().messages("unlock").size() == (hint ? 3u : 4u); }));  // "Screens woke"
    advance(2.0);
    settle();
  }
  EXPECT_EQ(heard, (Events{"lock", "unlock", "wake", "wake", "wake", "wake", "wake"}));
}

TEST_F(LockWatchTest, AnotherUsersSessionIsNeverWatched) {
  ASSERT_TRUE(buses().emitSessionSignal(kOtherSession, "Lock"));
  ASSERT_TRUE(buses().setLockedHint(kOtherSession, true));
  ASSERT_TRUE(buses().emitPrepareForSleep(true));  // arrives after the other session's signals
  ASSERT_TRUE(heardCount(1));
  settle();
  EXPECT_EQ(heard, Events{"sleep"});
  EXPECT_FALSE(locked());

  // Ours is the session of XDG_SESSION_ID, else of our process; another user's is refused.
  for (const auto& [variable, expected] : std::vector<std::pair<const char*, const char*>>{
           {kOwnSession, kOwnSession}, {kOtherSession, ""}, {nullptr, kOwnSession}}) {
    SCOPED_TRACE(variable ? variable : "unset");
    variable ? ::setenv("XDG_SESSION_ID", variable, 1) : ::unsetenv("XDG_SESSION_ID");
    platform::logind::LoginSession session;
    EXPECT_EQ(session.session() ? session.session()->id : "", expected);
  }
  EXPECT_TRUE(logs().contains("The login session c2 belongs to another user; it is not watched"));
}

TEST_F(LockWatchTest, TheBusGoingAwayIsSurvivedAndWhatChangedMeanwhileIsReported) {
  ASSERT_TRUE(buses().setLockedHint(kOwnSession, true));
  ASSERT_TRUE(heardCount(1));
  buses().stopSystemBus();
  ASSERT_TRUE(pump([&] { return logs().contains("Lost the system bus: Connection reset by peer"); }));
  EXPECT_FALSE(locked()) << "nothing to ask: not locked";
  EXPECT_FALSE(Unlocker::hasAccessibility());

  // The bus and logind come back with our session unlocked, which is reported once.
  ASSERT_TRUE(buses().startSystemBus());
  ASSERT_TRUE(buses().startLogind());
  buses().addSession(kOwnSession, static_cast<std::uint32_t>(::getuid()));
  ASSERT_TRUE(heardCount(2));
  EXPECT_TRUE(logs().contains("Connected to the system bus again"));
  ASSERT_TRUE(buses().setLockedHint(kOwnSession, true));
  ASSERT_TRUE(heardCount(3));
  settle();
  EXPECT_EQ(heard, (Events{"lock", "unlock", "lock"}));
}

// When the bus or logind cannot answer, everything answers as a missing facility (not
// locked, not trusted, no lock screen), with a log line, within the calls' time-outs.
TEST_F(LockWatchTest, EveryFailureAnswersAsTheMissingFacility) {
  const auto answer = [](const char* code) { return [code](SessionBuses& b) { b.replaceManagerMethod("GetSessionByPID", "u", "o", code); }; };
  const std::vector<std::tuple<const char*, std::function<void(SessionBuses&)>, const char*>> failures = {
      {"no system bus", [](SessionBuses& b) { b.stopSystemBus(); }, "The system bus is unavailable"},
      {"no logind", [](SessionBuses& b) { b.stopLogind(); }, "NameHasNoOwner"},
      {"logind hangs", answer("import time; time.sleep(3); ret = '/'"), "NoReply"},
      {"logind refuses", answer(kAccessDenied), "AccessDenied"},
  };
  for (const auto& [name, arrange, logged] : failures) {
    SCOPED_TRACE(name);
    TearDown();
    SetUp();
    ASSERT_TRUE(buses().setLockedHint(kOwnSession, true));
    arrange(buses());
    platform::resetSharedInstances();  // a process that starts now
    installLinuxSessionLayers();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(locked());
    EXPECT_FALSE(Unlocker::hasAccessibility());
    EXPECT_FALSE(Unlocker::lockScreenHasFocus());
    LockMonitor::shared().wakeDisplay();
    // Bounded by the calls' time-outs, not by the bus's 25 s: a hang would show here.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    bool found = false;
    for (const auto& entry : logs().entries()) {
      found |= entry.level == platform::log::Level::Error && entry.message.find(logged) != std::string::npos;
    }
    EXPECT_TRUE(found) << "no error logged with " << logged;
  }
}

}  // namespace
}  // namespace quorvel::testing
