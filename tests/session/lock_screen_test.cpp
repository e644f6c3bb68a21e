// The lock screen as the login window: which process it is on each desktop, when it is
// genuine, how keys typed into it are read, and the PAM check of the password.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "platform/localauth/local_auth_linux.hpp"
#include "platform/pam/pam.hpp"
#include "session/session_test.hpp"
#include "support/desktop_session.hpp"
#include "support/pam_matrix.hpp"
#include "unlock/lock_monitor.hpp"
#include "unlock/login_window_target.hpp"

namespace quorvel::testing {
namespace {

namespace ev = platform::events;
using platform::pam::Verdict;

class LockScreenTest : public SessionTest {
 protected:
  bool lock(bool locked) {
    return buses().setLockedHint(kOwnSession, locked) &&
           pump([&] { return LockMonitor::isScreenActuallyLocked() == locked; });
  }
  // A key-down and key-up carrying `text` (Return when empty), posted to `pid`.
  void type(std::int32_t pid, const std::u16string& text) {
    auto events = ev::current();
    auto source = events->createSource(ev::SourceStateID::privateState);
    for (bool down : {true, false}) {
      auto event = events->createKeyboardEvent(source.get(), text.empty() ? 36 : 0, down);
      if (down) event->setUnicodeString(text.size(), text.data());
      events->postToPid(pid, *event);
    }
  }
};

TEST_F(LockScreenTest, TheLockScreenIsTheLoginWindowWhileItIsGenuine) {
  EXPECT_FALSE(LoginWindowTarget::capture()) << "the session is not locked";
  ASSERT_TRUE(lock(true));
  auto target = LoginWindowTarget::capture();
  ASSERT_TRUE(target);
  EXPECT_EQ(target->pid, buses().lockScreenPID());
  EXPECT_TRUE(target->isReady());

  // The lock screen restarts: the captured one is gone, the new one is taken afresh.
  buses().stopLockScreen();
  ASSERT_TRUE(buses().startLockScreen());
  EXPECT_FALSE(target->isReady());
  ASSERT_TRUE(LoginWindowTarget::capture());

  // Run from a folder others can write, it is in front but no login window.
  const std::string copy = home() + "/bin/gnome-shell";
  std::filesystem::create_directories(home() + "/bin");
  ::chmod((home() + "/bin").c_str(), 0775);
  std::filesystem::copy_file(SessionBuses::lockScreenProgram(), copy);
  buses().stopLockScreen();
  ASSERT_TRUE(buses().startLockScreen(copy));
  EXPECT_FALSE(LoginWindowTarget::capture());
  const auto front = platform::workspace::runningApplications()->frontmostApplication();
  ASSERT_TRUE(front);
  EXPECT_EQ(front->executablePath(), copy);

  ASSERT_TRUE(lock(false));
  EXPECT_FALSE(platform::workspace::runningApplications()->frontmostApplication());

  using platform::logind::isSystemExecutable;
  EXPECT_TRUE(isSystemExecutable("/usr/bin/dbus-daemon"));
  for (const std::string& path : std::vector<std::string>{"/usr/bin", "/usr/bin/none", "usr/bin/dbus-daemon", copy}) {
    EXPECT_FALSE(isSystemExecutable(path)) << path;
  }

  // A process of a mount namespace of its own may name a file of its own by a system path.
  const std::string own = home() + "/sleep";
  std::filesystem::copy_file("/usr/bin/sleep", own);
  const auto genuine = ChildProcess::start({"/usr/bin/sleep", "60"});
  const auto disguised = ChildProcess::start(
      {"unshare", "--mount", "--", "sh", "-c", "mount --bind \"$0\" /usr/bin/sleep && exec /usr/bin/sleep 60", own});
  ASSERT_TRUE(genuine && disguised);
  const auto named = [](std::int64_t pid) {
    std::error_code error;
    return std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", error) == "/usr/bin/sleep";
  };
  ASSERT_TRUE(eventually([&] { return named(genuine->pid()) && named(disguised->pid()); }, 10)) << "unshare needs root";
  EXPECT_TRUE(platform::logind::runsSystemExecutable(genuine->pid(), "/usr/bin/sleep"));
  EXPECT_FALSE(platform::logind::runsSystemExecutable(disguised->pid(), "/usr/bin/sleep"));
}

// GNOME 43: gnome-shell draws the lock screen and owns the screen shield; the names of the
// screen-saver services belong to proxies that draw nothing (a gjs service and the settings
// daemon's), programs of the system all the same.
TEST_F(LockScreenTest, OnlyTheProcessThatDrawsTheLockScreenIsTheLoginWindow) {
  const auto target = [] {
    const auto captured = LoginWindowTarget::capture();
    return captured ? captured->pid : 0;
  };
  ASSERT_TRUE(lock(true));
  EXPECT_EQ(target(), buses().lockScreenPID()) << "GNOME Shell alone";
  for (const auto& [program, name] : std::vector<std::pair<const char*, const char*>>{
           {"gjs-console", "org.gnome.ScreenSaver"}, {"gsd-screensaver-proxy", "org.freedesktop.ScreenSaver"}}) {
    ASSERT_TRUE(buses().startService(SessionBuses::systemProgram(program), name, "/org/gnome/ScreenSaver", name));
  }
  EXPECT_EQ(target(), buses().lockScreenPID()) << "GNOME Shell beside the proxies";
  LockMonitor::shared().wakeDisplay();
  EXPECT_TRUE(pump([&] { return buses().servicesLog().find("ResetIdletime") != std::string::npos; }))
      << "GNOME lights the display through Mutter's idle monitor";

  buses().stopLockScreen();
  EXPECT_EQ(target(), 0) << "the proxies alone";
  const auto front = platform::workspace::runningApplications()->frontmostApplication();
  ASSERT_TRUE(front);
  EXPECT_EQ(std::filesystem::path(front->executablePath().value_or("")).filename(), "gsd-screensaver-proxy");

  // KDE Plasma: kwin_wayland (or ksmserver on X11) owns org.freedesktop.ScreenSaver and runs
  // the greeter; from a folder others can write it is not taken.
  buses().stopServices();
  const std::string writable = home() + "/bin/kwin_wayland";
  std::filesystem::create_directories(home() + "/bin");
  ::chmod((home() + "/bin").c_str(), 0775);
  std::filesystem::copy_file(SessionBuses::systemProgram("kwin_wayland"), writable);
  for (const std::string& program : {SessionBuses::systemProgram("kwin_wayland"), writable}) {
    SCOPED_TRACE(program);
    ASSERT_TRUE(buses().startService(program, "org.freedesktop.ScreenSaver", "/ScreenSaver", "org.freedesktop.ScreenSaver"));
    const auto kwin = platform::workspace::runningApplications()->frontmostApplication();
    ASSERT_TRUE(kwin);
    EXPECT_EQ(target(), program == writable ? 0 : kwin->processIdentifier());
    EXPECT_EQ(kwin->executablePath() == program, program == writable) << "the genuine one is the login window";
    buses().stopServices();
  }
}

TEST_F(LockScreenTest, PamAcceptsRefusesOrCannotAnswer) {
  ASSERT_TRUE(pam_matrix::wrapperActive()) << pam_matrix::kHowToRun;
  const std::vector<pam_matrix::Account> alice{{"alice", "s3cret \xc3\xa9"}};
  const std::vector<std::tuple<std::vector<pam_matrix::Account>, const char*, const char*, Verdict>> cases = {
      {alice, "alice", "s3cret \xc3\xa9", Verdict::accepted},  {alice, "alice", "s3cret", Verdict::refused},
      {alice, "bob", "s3cret \xc3\xa9", Verdict::refused},     {alice, "alice", "", Verdict::refused},
      {{}, "alice", "s3cret \xc3\xa9", Verdict::unavailable},  // no password database
  };
  for (const auto& [accounts, user, password, verdict] : cases) {
    pam_matrix::setAccounts(accounts);
    EXPECT_EQ(platform::pam::checkPassword("quorvel", user, password), verdict) << user << " " << password;
    // Device-owner authentication asks the same question of the same service.
    const auto expected = verdict == Verdict::accepted  ? platform::localauth::PasswordCheck::accepted
                          : verdict == Verdict::refused ? platform::localauth::PasswordCheck::rejected
                                                        : platform::localauth::PasswordCheck::unavailable;
    EXPECT_EQ(platform::localauth::loginPasswordChecker()(user, password), expected) << user << " " << password;
  }
  EXPECT_EQ(platform::pam::checkPassword("", "alice", "s3cret"), Verdict::unavailable);
}

TEST_F(LockScreenTest, KeysTypedIntoTheLockScreenAreItsPasswordAndReturnSubmitsIt) {
  ASSERT_TRUE(pam_matrix::wrapperActive()) << pam_matrix::kHowToRun;
  pam_matrix::setAccounts({{kSessionUser, "correct horse"}});
  const auto unlocks = [&] { return buses().managerCalls("UnlockSession"); };
  const pid_t screen = buses().lockScreenPID();
  ASSERT_TRUE(lock(true));
  type(::getpid(), u"correct horse");  // to another process: nobody reads it
  type(::getpid(), u"");
  // What was typed under an earlier lock is gone at Return.
  type(screen, u"correct horse");
  ASSERT_TRUE(lock(false));
  ASSERT_TRUE(lock(true));
  type(screen, u"");
  ASSERT_TRUE(pump([&] { return logs().contains("Return pressed on the lock screen with nothing typed"); }));
  EXPECT_EQ(unlocks(), 0);
  // A key that did not reach the lock screen breaks the text: nothing of it goes to PAM.
  type(screen, u"correct ");
  type(::getpid(), u"horse");
  type(screen, u"");
  ASSERT_TRUE(pump([&] {
    const auto lines = logs().messages();
    return std::count(lines.begin(), lines.end(), "Return pressed on the lock screen with nothing typed") == 2;
  }));
  EXPECT_FALSE(logs().contains("The lock screen refused the password"));

  // Typed in two parts, then Return: PAM accepts, logind unlocks, the desktop follows.
  type(screen, u"correct ");
  type(screen, u"horse");
  type(screen, u"");
  ASSERT_TRUE(pump([] { return !LockMonitor::isScreenActuallyLocked(); }));
  EXPECT_EQ(unlocks(), 1);
  EXPECT_TRUE(logs().contains("Asked logind to unlock session c1"));
}

}  // namespace
}  // namespace quorvel::testing
