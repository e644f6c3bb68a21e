// The platform layers the lock watching and the authorization target stand on: the Linux
// process records and list read from /proc (against this test process and children it starts),
// running-application records, the requirement language, and what the Linux code signing,
// accessibility and user records answer where the platform facility is missing.
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "platform/accessibility/accessibility_linux.hpp"
#include "platform/codesign/codesign_linux.hpp"
#include "platform/processes/processes_linux.hpp"
#include "platform/users/users_linux.hpp"
#include "platform/workspace/applications_linux.hpp"

namespace {

namespace ax = platform::accessibility;
namespace cs = platform::codesign;
using platform::processes::BSDInfo;
using platform::processes::kBSDInfoSize;
using platform::processes::LinuxProcesses;

std::pair<std::uint64_t, std::uint64_t> startOf(const BSDInfo& info) {
  return {info.startSeconds, info.startMicroseconds};
}

// A child that names itself `name` and waits until its pipe closes, so the test decides when
// it ends.
class Child {
 public:
  explicit Child(const char* name) {
    int ready[2];
    if (::pipe(ready) != 0 || ::pipe(hold_) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_NAME, name, 0, 0, 0);
      char byte = 1;
      if (::write(ready[1], &byte, 1) != 1) ::_exit(1);
      ::close(hold_[1]);
      while (::read(hold_[0], &byte, 1) > 0) {
      }
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(hold_[0]);
    char byte = 0;
    if (pid_ < 0 || ::read(ready[0], &byte, 1) != 1) pid_ = -1;  // renamed once this returns
    ::close(ready[0]);
  }
  ~Child() { end(); }
  pid_t pid() const { return pid_; }
  void end() {
    if (pid_ <= 0) return;
    ::close(hold_[1]);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  int hold_[2] = {-1, -1};
  pid_t pid_ = -1;
};

// This process has a full record owned by its user. A child started later, named with a line
// break and a closing parenthesis (a process may name itself with any bytes): its record is read
// whole, and once it is reaped it has none. A child with a plain name is listed and named.
// Running-application records: no bundle identifier, and no workspace says which is in front.
TEST(LinuxProcessesTest, RecordsOfThisProcessAndOfAChildUntilItIsReaped) {
  LinuxProcesses processes;
  BSDInfo parent;
  ASSERT_EQ(processes.pidInfoBSD(::getpid(), &parent), kBSDInfoSize);
  EXPECT_EQ(parent.pid, static_cast<std::uint32_t>(::getpid()));
  EXPECT_EQ(parent.ppid, static_cast<std::uint32_t>(::getppid()));
  EXPECT_EQ(parent.uid, static_cast<std::uint32_t>(::geteuid()));
  EXPECT_EQ(parent.ruid, static_cast<std::uint32_t>(::getuid()));
  EXPECT_EQ(processes.currentUserID(), static_cast<std::uint32_t>(::getuid()));
  EXPECT_LT(parent.startMicroseconds, 1'000'000u);
  // Started after the boot and not in the future (the wall clock may run a tick ahead of
  // the boot-time arithmetic).
  struct timespec boot {}, wall {};
  ::clock_gettime(CLOCK_BOOTTIME, &boot);
  ::clock_gettime(CLOCK_REALTIME, &wall);
  const auto bootedAt = static_cast<std::uint64_t>(wall.tv_sec - boot.tv_sec);
  EXPECT_GE(parent.startSeconds + 2, bootedAt);
  EXPECT_LE(parent.startSeconds, static_cast<std::uint64_t>(wall.tv_sec) + 1);
  BSDInfo info;
  ASSERT_EQ(processes.pidInfoBSD(::getpid(), &info), kBSDInfoSize);
  EXPECT_EQ(startOf(info), startOf(parent)) << "the start time is stable";
  for (const pid_t impossible : {0, -1, INT_MAX}) EXPECT_EQ(processes.pidInfoBSD(impossible, &info), 0);
  EXPECT_EQ(processes.pidInfoBSD(::getpid(), nullptr), 0);

  Child child("a) R 1\n2 3");
  Child plain("quorvel-plain");
  ASSERT_GT(child.pid(), 0);
  ASSERT_GT(plain.pid(), 0);
  std::vector<std::int32_t> pids(static_cast<std::size_t>(processes.listAllPids(nullptr, 0)) + 64);
  const int listed = processes.listAllPids(pids.data(), static_cast<int>(pids.size()));
  ASSERT_GT(listed, 0);
  pids.resize(static_cast<std::size_t>(listed));
  EXPECT_NE(std::ranges::find(pids, plain.pid()), pids.end());
  std::int32_t two[2] = {0, 0};
  EXPECT_EQ(processes.listAllPids(two, 2), 2) << "room for two only";
  char name[256] = {};
  EXPECT_EQ(processes.processName(plain.pid(), name, sizeof(name)), 13);
  EXPECT_EQ(std::string(name), "quorvel-plain");
  EXPECT_EQ(processes.processName(-5, name, sizeof(name)), 0);
  char small[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(processes.processName(plain.pid(), small, sizeof(small)), 3) << "cut to fit";
  EXPECT_EQ(std::string(small), "quo") << "still terminated";
  ASSERT_EQ(processes.pidInfoBSD(child.pid(), &info), kBSDInfoSize);
  EXPECT_EQ(info.comm, "a) R 1\n2 3");
  EXPECT_EQ(processes.processName(child.pid(), name, sizeof(name)), 10);
  EXPECT_EQ(std::string(name), "a) R 1\n2 3") << "the whole name, not its first line";
  EXPECT_EQ(info.ppid, static_cast<std::uint32_t>(::getpid()));
  EXPECT_EQ(info.uid, parent.uid);
  EXPECT_GE(startOf(info), startOf(parent));
  platform::workspace::LinuxRunningApplications applications;
  auto self = applications.runningApplication(::getpid());
  ASSERT_TRUE(self);
  EXPECT_EQ(self->processIdentifier(), ::getpid());
  EXPECT_FALSE(self->bundleIdentifier());
  EXPECT_EQ(self->executablePath(), std::filesystem::read_symlink("/proc/self/exe").string());
  EXPECT_FALSE(applications.frontmostApplication());
  EXPECT_FALSE(applications.runningApplication(0));
  auto record = applications.runningApplication(child.pid());
  ASSERT_TRUE(record);
  EXPECT_FALSE(record->isTerminated());
  plain.end();  // first: it holds a copy of the other child's pipe
  const pid_t pid = child.pid();
  child.end();
  EXPECT_EQ(processes.pidInfoBSD(pid, &info), 0);
  EXPECT_TRUE(record->isTerminated()) << "a record follows the process it was made for";
  EXPECT_FALSE(applications.runningApplication(pid));
}

// Anchor and identifier clauses joined by "and"; anything else is refused.
TEST(RequirementLanguageTest, ParsesAnchorAndIdentifierClausesOnly) {
  cs::Requirement requirement;
  ASSERT_EQ(cs::parseRequirement("anchor apple and identifier \"com.apple.loginwindow\"", &requirement),
            cs::errSecSuccess);
  const cs::Signature genuine{true, true, true, true, "com.apple.loginwindow"};
  EXPECT_TRUE(cs::satisfies(genuine, requirement));
  auto other = genuine;
  other.identifier = "com.apple.loginwindowx";
  EXPECT_FALSE(cs::satisfies(other, requirement));
  EXPECT_FALSE(cs::satisfies(cs::Signature{}, requirement));
  ASSERT_EQ(cs::parseRequirement("anchor apple generic and identifier com.example.app", &requirement),
            cs::errSecSuccess);
  EXPECT_TRUE(cs::satisfies(cs::Signature{true, true, false, true, "com.example.app"}, requirement));
  ASSERT_EQ(cs::parseRequirement("identifier \"a\" and identifier \"b\"", &requirement), cs::errSecSuccess);
  EXPECT_FALSE(cs::satisfies(cs::Signature{true, true, true, true, "a"}, requirement));

  for (const char* text : {"", "anchor", "anchor google", "identifier", "identifier \"open",
                           "anchor apple or identifier \"x\"", "anchor apple and", "and anchor apple",
                           "certificate leaf = H\"abc\""}) {
    EXPECT_EQ(cs::parseRequirement(text, &requirement), cs::errSecCSReqInvalid) << text;
  }
}

TEST(LinuxAccessibilityTest, EveryElementCallIsRefused) {
  ax::LinuxAccessibility accessibility;
  const auto application = accessibility.createApplication(1);
  ax::AttributeValue value = true;
  EXPECT_EQ(accessibility.copyAttributeValue(application, "AXWindows", &value), ax::AXError::apiDisabled);
  EXPECT_TRUE(std::holds_alternative<std::monostate>(value));
  bool settable = true;
  EXPECT_EQ(accessibility.isAttributeSettable(application, "AXValue", &settable), ax::AXError::apiDisabled);
  EXPECT_FALSE(settable);
  EXPECT_EQ(accessibility.setAttributeValue(application, "AXValue", std::string("x")), ax::AXError::apiDisabled);
  EXPECT_EQ(accessibility.performAction(application, "AXPress"), ax::AXError::apiDisabled);
}

TEST(LinuxUsersTest, NamesComeFromThePasswordDatabase) {
  platform::users::LinuxUsers users;
  EXPECT_FALSE(users.userName().empty());
  EXPECT_EQ(users.fullUserName().find(','), std::string::npos);
}

TEST(LinuxCodeSigningTest, LiveProcessesHaveCodeButNoSignature) {
  cs::LinuxCodeSigning signing;
  std::shared_ptr<cs::Code> code;
  ASSERT_EQ(signing.copyGuestWithAttributes(cs::GuestAttributes{::getpid()}, &code), cs::errSecSuccess);
  ASSERT_TRUE(code);
  std::shared_ptr<cs::Requirement> requirement;
  ASSERT_EQ(signing.createRequirementWithString("anchor apple", &requirement), cs::errSecSuccess);
  EXPECT_EQ(signing.checkValidity(*code, *requirement), cs::errSecCSUnsigned);
  EXPECT_EQ(signing.copyGuestWithAttributes(cs::GuestAttributes{INT_MAX}, &code), cs::errSecCSNoSuchCode);
  EXPECT_FALSE(code);
  EXPECT_EQ(signing.copyGuestWithAttributes(cs::GuestAttributes{}, &code), cs::errSecCSInvalidAttributeValues);
}

}  // namespace
