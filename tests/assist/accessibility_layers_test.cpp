// The platform pieces the authorization target stands on, in their linux implementations,
// which answer as a machine without the facility does.
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/accessibility/accessibility_linux.hpp"
#include "platform/codesign/codesign_linux.hpp"
#include "platform/processes/processes_linux.hpp"
#include "platform/users/users_linux.hpp"
#include "support/platform_fixture.hpp"
#include "support/simulated_lock_machine.hpp"
#include "support/simulated_security_agent.hpp"
#include "unlock/authorization_target.hpp"

namespace {

namespace ax = platform::accessibility;
using quorvel::AuthorizationTarget;
using quorvel::testing::lockMachine;
using quorvel::testing::SimulatedSecurityAgent;

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

std::string ownComm() {
  std::ifstream comm("/proc/self/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

TEST(LinuxProcessListTest, ListsThisProcessWithItsName) {
  platform::processes::LinuxProcesses processes;
  const int count = processes.listAllPids(nullptr, 0);
  ASSERT_GT(count, 0);
  std::vector<std::int32_t> pids(static_cast<std::size_t>(count) + 64);
  const int listed = processes.listAllPids(pids.data(), static_cast<int>(pids.size()));
  ASSERT_GT(listed, 0);
  pids.resize(static_cast<std::size_t>(listed));
  const auto self = ::getpid();
  EXPECT_NE(std::find(pids.begin(), pids.end(), self), pids.end());
  char name[256] = {};
  EXPECT_EQ(processes.processName(self, name, sizeof(name)), static_cast<int>(ownComm().size()));
  EXPECT_EQ(std::string(name), ownComm());
  // Cut to fit, still terminated.
  char small[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(processes.processName(self, small, sizeof(small)), 3);
  EXPECT_EQ(std::string(small), ownComm().substr(0, 3));
  EXPECT_EQ(processes.processName(-5, name, sizeof(name)), 0);
  // Room for two only.
  std::int32_t two[2] = {0, 0};
  EXPECT_EQ(processes.listAllPids(two, 2), std::min(2, count));
}

TEST(LinuxUsersTest, NamesComeFromThePasswordDatabase) {
  platform::users::LinuxUsers users;
  EXPECT_FALSE(users.userName().empty());
  EXPECT_EQ(users.fullUserName().find(','), std::string::npos);
}

// On Linux the target finds no dialog and reports only trust and the lock state. (Each test's
// set-up installs the simulated machine again.)
using LinuxAuthorizationTargetTest = quorvel::testing::PlatformTest;

TEST_F(LinuxAuthorizationTargetTest, FindsNothingAndReportsUntrusted) {
  platform::accessibility::install(std::make_shared<ax::LinuxAccessibility>());
  platform::processes::install(std::make_shared<platform::processes::LinuxProcesses>());
  platform::codesign::install(std::make_shared<platform::codesign::LinuxCodeSigning>());
  platform::users::install(std::make_shared<platform::users::LinuxUsers>());
  EXPECT_FALSE(AuthorizationTarget::capture());
  EXPECT_TRUE(AuthorizationTarget::agentPIDs().empty());
  EXPECT_FALSE(AuthorizationTarget::isAppleAgent(::getpid()));
  EXPECT_EQ(AuthorizationTarget::diagnostic(), "Accessibility trusted: false\nLocked: false");
  const AuthorizationTarget target(::getpid(), ax::LinuxAccessibility().createApplication(::getpid()), ax::Element{5});
  EXPECT_TRUE(target.controls().size() == 1);
  EXPECT_FALSE(target.isPresent());
  EXPECT_FALSE(target.switchToPassword());
}

// A genuine agent running on Linux processes is still unsigned, so it is never accepted.
TEST_F(LinuxAuthorizationTargetTest, AnAgentWithoutASignatureIsNotApples) {
  SimulatedSecurityAgent agent(lockMachine());
  agent.showDialog();
  ASSERT_TRUE(AuthorizationTarget::capture());
  platform::codesign::install(std::make_shared<platform::codesign::LinuxCodeSigning>());
  EXPECT_FALSE(AuthorizationTarget::capture());
  agent.quit();
}

}  // namespace
