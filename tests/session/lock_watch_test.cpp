// The lock monitor fed by logind: lock, unlock, sleep and wake of our session, once each and
// in order; lock changes no signal announces; another user's session; the bus going away;
// and every way logind can fail to answer.
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include "platform/logind/login_session.hpp"
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
    if (HasFatalFailure()) return;
    LockMonitor& monitor = LockMonitor::shared();
    monitor.onLock = [this] { heard.push_back("lock"); };
    monitor.onUnlock = [this] { heard.push_back("unlock"); };
    monitor.onSleep = [this] { heard.push_back("sleep"); };
    monitor.onWake = [this] { heard.push_back("wake"); };
    monitor.start();
  }
  bool locked() { return LockMonitor::isScreenActuallyLocked(); }
  bool heardCount(std::size_t count) {
    return pump([&] { return heard.size() >= count; });
  }

  Events heard;
};

TEST_F(LockWatchTest, LockUnlockSleepAndWakeReachTheMonitorOnceEachInOrder) {
  // logind's signal, then the desktop's lock screen sets the hint: one lock.
  ASSERT_TRUE(buses().emitSessionSignal(kOwnSession, "Lock"));
  ASSERT_TRUE(pump([&] { return locked(); }));
  ASSERT_TRUE(buses().emitPrepareForSleep(true));
  ASSERT_TRUE(buses().emitPrepareForSleep(false));
  ASSERT_TRUE(heardCount(3));
  ASSERT_TRUE(buses().emitSessionSignal(kOwnSession, "Unlock"));
  ASSERT_TRUE(pump([&] { return !locked(); }));
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
  ASSERT_TRUE(buses().setLockedHintQuietly(kOwnSession, true));
  ASSERT_TRUE(buses().emitPrepareForSleep(false));
  ASSERT_TRUE(heardCount(3));
  advance(2.0);
  EXPECT_EQ(heard, (Events{"lock", "unlock", "wake", "wake", "wake", "wake", "wake"}));
  ASSERT_TRUE(buses().setLockedHintQuietly(kOwnSession, false));
  ASSERT_TRUE(buses().emitPrepareForSleep(false));
  ASSERT_TRUE(pump([&] { return logs().contains("Screens woke") && logs().messages("unlock").size() == 4; }));
  advance(2.0);
  settle();
  EXPECT_EQ(heard.size(), 7u) << "the session was not locked at this wake";
}

TEST_F(LockWatchTest, AnotherUsersSessionIsNeverWatched) {
  ASSERT_TRUE(buses().emitSessionSignal(kOtherSession, "Lock"));
  ASSERT_TRUE(buses().setLockedHint(kOtherSession, true));
  ASSERT_TRUE(buses().emitPrepareForSleep(true));  // arrives after the other session's signals
  ASSERT_TRUE(heardCount(1));
  settle();
  EXPECT_EQ(heard, Events{"sleep"});
  EXPECT_FALSE(locked());

  // Our session is the one logind names: by XDG_SESSION_ID when set, else by our process; a
  // session of another user is refused even when named.
  for (const auto& [variable, expected] : std::vector<std::pair<const char*, const char*>>{
           {kOwnSession, kOwnSession}, {kOtherSession, nullptr}, {nullptr, kOwnSession}}) {
    SCOPED_TRACE(variable ? variable : "unset");
    if (variable) {
      ::setenv("XDG_SESSION_ID", variable, 1);
    } else {
      ::unsetenv("XDG_SESSION_ID");
    }
    platform::logind::LoginSession session;
    const auto named = session.session();
    EXPECT_EQ(named ? named->id : "", expected ? expected : "");
    if (!expected) {
      EXPECT_TRUE(logs().contains("The login session c2 belongs to another user; it is not watched"));
      EXPECT_FALSE(session.lockedHint());
    }
  }
}

TEST_F(LockWatchTest, TheBusGoingAwayIsSurvivedAndWhatChangedMeanwhileIsReported) {
  ASSERT_TRUE(buses().setLockedHint(kOwnSession, true));
  ASSERT_TRUE(heardCount(1));
  buses().stopSystemBus();
  ASSERT_TRUE(pump([&] { return logs().contains("Lost the system bus: Connection reset by peer"); }));
  EXPECT_FALSE(locked()) << "nothing to ask: not locked";
  EXPECT_FALSE(Unlocker::hasAccessibility());

  // The bus and logind come back; our session is unlocked now, which is reported once.
  ASSERT_TRUE(buses().startSystemBus());
  ASSERT_TRUE(buses().startLogind(kOwnSession));
  buses().addSession(kOwnSession, static_cast<std::uint32_t>(::getuid()), LinuxSession::userName());
  ASSERT_TRUE(heardCount(2));
  EXPECT_TRUE(logs().contains("Connected to the system bus again"));
  ASSERT_TRUE(buses().setLockedHint(kOwnSession, true));
  ASSERT_TRUE(heardCount(3));
  settle();
  EXPECT_EQ(heard, (Events{"lock", "unlock", "lock"}));
  EXPECT_TRUE(locked());
}

// When the bus, logind or the desktop cannot answer, everything answers as a missing facility:
// not locked, not trusted, no lock screen; with a log line, and
// within the calls' time-outs.
struct Failure {
  const char* name;
  std::function<void(SessionBuses&)> arrange;
  const char* logged;
};

TEST_F(LockWatchTest, EveryFailureAnswersAsTheMissingFacility) {
  const std::vector<Failure> failures = {
      {"no system bus", [](SessionBuses& b) { b.stopSystemBus(); }, "The system bus is unavailable"},
      {"no logind", [](SessionBuses& b) { b.stopLogind(); }, "NameHasNoOwner"},
      {"logind hangs",
       [](SessionBuses& b) {
         b.delayManagerMethod("GetSessionByPID", "u", "o", "ret = dbus.ObjectPath('/org/freedesktop/login1/session/c1')", 3);
       },
       "NoReply"},
      {"logind refuses", [](SessionBuses& b) {
         b.call(SessionBuses::Bus::system,
                {SessionBuses::kLogind, SessionBuses::kManagerPath, "org.freedesktop.DBus.Mock", "AddMethod", "sssss",
                 "org.freedesktop.login1.Manager", "GetSessionByPID", "u", "o",
                 "raise dbus.exceptions.DBusException('no', name='org.freedesktop.DBus.Error.AccessDenied')"});
       }, "AccessDenied"},
  };
  for (const auto& failure : failures) {
    SCOPED_TRACE(failure.name);
    TearDown();
    SetUp();
    ASSERT_TRUE(buses().setLockedHint(kOwnSession, true));
    failure.arrange(buses());
    platform::resetSharedInstances();  // a process that starts now
    LinuxSession::installLinuxLayers();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(locked());
    EXPECT_FALSE(Unlocker::hasAccessibility());
    EXPECT_FALSE(Unlocker::lockScreenHasFocus());
    LockMonitor::shared().wakeDisplay();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    bool found = false;
    for (const auto& entry : logs().entries()) found = found || entry.message.find(failure.logged) != std::string::npos;
    EXPECT_TRUE(found) << "no log line with " << failure.logged;
    EXPECT_GE(sessionErrors(), 1u);
  }
}

}  // namespace
}  // namespace quorvel::testing
