// The lock screen as the login window: when it is genuine, how keys typed into it are read,
// and the PAM check of the password.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/events/events.hpp"
#include "platform/pam/pam.hpp"
#include "platform/workspace/applications.hpp"
#include "session/session_test.hpp"
#include "support/pam_matrix.hpp"
#include "unlock/lock_monitor.hpp"
#include "unlock/login_window_target.hpp"

namespace quorvel::testing {
namespace {

namespace ev = platform::events;

class LockScreenTest : public SessionTest {
 protected:
  bool lockAndWait(bool locked) {
    return buses().setLockedHint(kOwnSession, locked) &&
           pump([&] { return LockMonitor::isScreenActuallyLocked() == locked; });
  }
  // A key-down carrying `text` (Return when empty), posted to `pid`.
  void type(std::int32_t pid, const std::u16string& text) {
    auto events = ev::current();
    auto source = events->createSource(ev::SourceStateID::privateState);
    auto down = events->createKeyboardEvent(source.get(), text.empty() ? 36 : 0, true);
    down->setUnicodeString(text.size(), text.data());
    events->postToPid(pid, *down);
    events->postToPid(pid, *events->createKeyboardEvent(source.get(), text.empty() ? 36 : 0, false));
  }
};

TEST_F(LockScreenTest, TheLockScreenIsTheLoginWindowWhileItIsGenuine) {
  EXPECT_FALSE(LoginWindowTarget::capture()) << "the session is not locked";
  ASSERT_TRUE(lockAndWait(true));
  auto target = LoginWindowTarget::capture();
  ASSERT_TRUE(target);
  EXPECT_EQ(target->pid, buses().lockScreenPID());
  EXPECT_TRUE(target->isReady());

  // The lock screen restarts: the captured one is gone, the new one is taken afresh.
  buses().stopLockScreen();
  ASSERT_TRUE(buses().startLockScreen(kOwnSession));
  EXPECT_FALSE(target->isReady());
  target = LoginWindowTarget::capture();
  ASSERT_TRUE(target);

  // A lock screen run from a folder others can write is in front, but it is no login window.
  const std::string folder = home() + "/bin";
  std::filesystem::create_directories(folder);
  ::chmod(folder.c_str(), 0775);
  std::filesystem::copy_file("/usr/bin/python3", folder + "/python3");
  buses().stopLockScreen();
  ASSERT_TRUE(buses().startLockScreen(kOwnSession, folder + "/python3"));
  EXPECT_FALSE(target->isReady());
  EXPECT_FALSE(LoginWindowTarget::capture());
  const auto front = platform::workspace::runningApplications()->frontmostApplication();
  ASSERT_TRUE(front);
  EXPECT_EQ(front->processIdentifier(), buses().lockScreenPID());
  EXPECT_EQ(front->executablePath(), folder + "/python3");

  ASSERT_TRUE(lockAndWait(false));
  EXPECT_FALSE(platform::workspace::runningApplications()->frontmostApplication());
}

TEST_F(LockScreenTest, SystemFoldersAreThoseOnlyRootCanWrite) {
  using platform::logind::isSystemExecutable;
  EXPECT_TRUE(isSystemExecutable("/usr/bin/dbus-daemon"));
  EXPECT_FALSE(isSystemExecutable("/usr/bin")) << "a folder";
  EXPECT_FALSE(isSystemExecutable("/usr/bin/no-such-program"));
  EXPECT_FALSE(isSystemExecutable("usr/bin/dbus-daemon"));
  // Under the temporary folder, which everyone may write.
  const std::string copy = home() + "/true";
  std::filesystem::copy_file("/usr/bin/true", copy);
  EXPECT_FALSE(isSystemExecutable(copy));
}

struct VerdictCase {
  const char* name;
  std::vector<PamMatrix::Account> accounts;
  const char* user;
  const char* password;
  platform::pam::Verdict verdict;
};

TEST_F(LockScreenTest, PamAcceptsRefusesOrCannotAnswer) {
  ASSERT_TRUE(PamMatrix::wrapperActive()) << PamMatrix::howToRun();
  using platform::pam::Verdict;
  const std::vector<VerdictCase> cases = {
      {"right password", {{"alice", "s3cret \xc3\xa9"}}, "alice", "s3cret \xc3\xa9", Verdict::accepted},
      {"wrong password", {{"alice", "s3cret"}}, "alice", "S3cret", Verdict::refused},
      {"unknown user", {{"alice", "s3cret"}}, "bob", "s3cret", Verdict::refused},
      {"empty password", {{"alice", "s3cret"}}, "alice", "", Verdict::refused},
      {"no password database", {}, "alice", "s3cret", Verdict::unavailable},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PamMatrix pam(c.accounts);
    EXPECT_EQ(platform::pam::checkPassword("quorvel", c.user, c.password), c.verdict);
  }
  EXPECT_EQ(platform::pam::checkPassword("", "alice", "s3cret"), Verdict::unavailable);
}

TEST_F(LockScreenTest, KeysTypedIntoTheLockScreenAreItsPasswordAndReturnSubmitsIt) {
  ASSERT_TRUE(PamMatrix::wrapperActive()) << PamMatrix::howToRun();
  PamMatrix pam({{LinuxSession::userName(), "correct horse"}});
  auto unlocks = [&] { return buses().managerCalls("UnlockSession"); };

  // Typed to another process: nobody reads it.
  ASSERT_TRUE(lockAndWait(true));
  type(::getpid(), u"correct horse");
  type(::getpid(), u"");
  settle();
  EXPECT_EQ(unlocks(), 0);

  // What was typed under an earlier lock is gone at Return.
  const pid_t screen = buses().lockScreenPID();
  type(screen, u"correct horse");
  ASSERT_TRUE(lockAndWait(false));
  ASSERT_TRUE(lockAndWait(true));
  type(screen, u"");
  ASSERT_TRUE(pump([&] { return logs().contains("Return pressed on the lock screen with nothing typed"); }));
  EXPECT_EQ(unlocks(), 0);

  // Typed in two parts, then Return: PAM accepts, logind unlocks, the desktop follows.
  type(screen, u"correct ");
  type(screen, u"horse");
  type(screen, u"");
  ASSERT_TRUE(pump([&] { return !LockMonitor::isScreenActuallyLocked(); }));
  EXPECT_EQ(unlocks(), 1);
  EXPECT_TRUE(logs().contains("Asked logind to unlock session c1"));
}

}  // namespace
}  // namespace quorvel::testing
