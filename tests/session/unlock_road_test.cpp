// The whole unlock road on the real session layers: the session locks (logind), an attempt
// starts, the enrolled face is seen (simulated camera), the unlocker verifies the lock screen
// and types the saved password, PAM checks it, logind is asked to unlock, the desktop's lock
// screen goes, and the unlock notification ends the attempt. The password goes to PAM and
// nowhere else: no log line, no D-Bus message, no file, no freed memory holds it.
#include <filesystem>
#include <fstream>
#include <sstream>

#include "coordinator/coordinator_fixture.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "session/freed_memory.hpp"
#include "session/linux_session.hpp"
#include "support/pam_matrix.hpp"

namespace quorvel::testing {
namespace {

namespace dispatch = platform::dispatch;

// The text's bytes and its UTF-16 (little-endian) bytes.
std::vector<std::string> encodings(const std::string& text) {
  std::string wide;
  for (char c : text) wide += std::string{c, '\0'};  // the passwords here are ASCII
  return {text, wide};
}

class LinuxUnlockRoadTest : public CoordinatorTest {
 protected:
  void SetUp() override {
    CoordinatorTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(PamMatrix::wrapperActive()) << PamMatrix::howToRun();
    session_ = std::make_unique<LinuxSession>(home() + "/session");
    ASSERT_TRUE(session_->ready());
    pam_ = std::make_unique<PamMatrix>(std::vector<PamMatrix::Account>{{LinuxSession::userName(), kPassword}});
    ASSERT_TRUE(buses().startMonitors());
    LinuxSession::installLinuxLayers();
    dispatch::install(dispatch::makeRealScheduler());
    LockMonitor::shared().start();
    face = faceFrame(90);
    enrolAt(face, 0.2);
    play({face}, 10);
  }
  void TearDown() override {
    if (session_) dispatch::runMainLoopUntil([this] { return !coordinator().camera()->isRunning(); }, 10);
    CoordinatorTest::TearDown();
    session_.reset();
  }
  SessionBuses& buses() { return session_->buses(); }
  bool locked() { return LockMonitor::isScreenActuallyLocked(); }
  // The files of the test's home, where the program writes.
  std::string filesWritten() {
    std::string all;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(home())) {
      if (!entry.is_regular_file()) continue;
      std::ifstream file(entry.path(), std::ios::binary);
      std::ostringstream text;
      text << file.rdbuf();
      all += text.str();
    }
    return all;
  }

  Frame face;
  std::unique_ptr<LinuxSession> session_;
  std::unique_ptr<PamMatrix> pam_;
};

struct RoadCase {
  const char* name;
  const char* saved;
  bool logindRefuses;
  bool unlocks;
};

TEST_F(LinuxUnlockRoadTest, TheFaceUnlocksTheSessionOnlyWithThePasswordPamAccepts) {
  const std::vector<RoadCase> cases = {
      {"right password", kPassword, false, true},
      {"wrong password", "not the password", false, false},
      {"logind refuses", kPassword, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    ASSERT_TRUE(PasswordVault::set(c.saved));
    if (c.logindRefuses) {
      buses().call(SessionBuses::Bus::system,
                   {SessionBuses::kLogind, SessionBuses::kManagerPath, "org.freedesktop.DBus.Mock", "AddMethod",
                    "sssss", "org.freedesktop.login1.Manager", "UnlockSession", "s", "",
                    "raise dbus.exceptions.DBusException('no', name='org.freedesktop.DBus.Error.AccessDenied')"});
    }
    const auto secrets = encodings(c.saved);  // alive until the watch ends
    freed_memory::watch(secrets);

    ASSERT_TRUE(buses().emitSessionSignal(kOwnSession, "Lock"));
    const std::string failed = "Unlock failed: Unlock not confirmed; use Touch ID or your password";
    const bool ended = dispatch::runMainLoopUntil(
        [&] {
          // The unlock notification ends the attempt; a failure reaches the overlay.
          return c.unlocks ? logged("Screen unlocked") && !coordinator().currentAttempt() && !coordinator().hasSucceeded()
                           : countLogs(failed) == 1 && overlayEvents().back() == "hide";
        },
        20);
    EXPECT_EQ(freed_memory::stop(), 0) << "a copy of the password was freed without being wiped";
    ASSERT_TRUE(ended);

    EXPECT_EQ(buses().managerCalls("UnlockSession"), c.saved == std::string(kPassword) ? 1 : 0);
    if (c.unlocks) {
      EXPECT_TRUE(dispatch::runMainLoopUntil([&] { return !locked(); }, 5)) << "the desktop cleared the hint";
      for (const auto& line : unlockLogs()) EXPECT_EQ(line.find("Unlock failed"), std::string::npos) << line;
    } else {
      EXPECT_TRUE(locked());
      EXPECT_EQ(overlayEvents().back(), "hide");
      EXPECT_EQ(levelOf(failed), platform::log::Level::Error);
    }
    EXPECT_NE(buses().recordedTraffic().find("SimulateUserActivity"), std::string::npos) << "the display was lit";
    for (const auto& secret : secrets) {
      for (const auto& message : logs().messages()) EXPECT_EQ(message.find(secret), std::string::npos) << message;
      EXPECT_EQ(buses().recordedTraffic().find(secret), std::string::npos) << "the password went over D-Bus";
      EXPECT_EQ(filesWritten().find(secret), std::string::npos) << "the password is in a file";
    }
  }
}

TEST_F(LinuxUnlockRoadTest, AnotherUsersLockedSessionIsNotTouched) {
  ASSERT_TRUE(buses().emitSessionSignal(kOtherSession, "Lock"));
  ASSERT_TRUE(buses().setLockedHint(kOtherSession, true));
  dispatch::runMainLoopUntil([] { return false; }, 1.0);
  EXPECT_EQ(simulatedCamera().startsRequested(), 0);
  EXPECT_TRUE(overlayEvents().empty());
  EXPECT_FALSE(logged("Screen locked"));
  EXPECT_EQ(buses().managerCalls("UnlockSession"), 0);
  EXPECT_FALSE(locked());
}

}  // namespace
}  // namespace quorvel::testing
