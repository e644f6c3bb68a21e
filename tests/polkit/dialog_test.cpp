// The authorization-dialog target on the Linux layers in this process, against a real dialog
// on a real accessibility bus: the one-candidate rule, an agent run from a folder the user may
// write, and the accessibility bus missing or turned off. (This process is root, so its dialogs
// are root's too: an agent must run as our own user.)
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>

#include "platform/accessibility/accessibility_linux.hpp"
#include "platform/codesign/codesign_linux.hpp"
#include "platform/processes/processes_linux.hpp"
#include "platform/users/users_linux.hpp"
#include "platform/windowserver/session_linux.hpp"
#include "polkit/authorization_desktop.hpp"
#include "support/E_printed_lines.hpp"
#include "support/platform_fixture.hpp"
#include "unlock/authorization_target.hpp"

namespace {

namespace ax = platform::accessibility;
using quorvel::AuthorizationTarget;
using quorvel::testing::AuthorizationDesktop;
using quorvel::testing::ChildProcess;
using quorvel::testing::eventually;
using quorvel::testing::fileHasLine;
using quorvel::testing::linesAboutAgent;
using quorvel::testing::printedLines;

class AuthorizationDialogTest : public quorvel::testing::PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    desktop_ = std::make_unique<AuthorizationDesktop>(home() + "/desktop");
    platform::accessibility::install(std::make_shared<ax::LinuxAccessibility>());
  }
  void TearDown() override {
    PlatformTest::TearDown();
    agent_.reset();
    desktop_.reset();
  }

  // logind with a session of ours, the session bus, Xvfb, the accessibility bus, and the
  // Linux layers the target reads.
  void startDesktop() {
    ASSERT_TRUE(desktop_->startSystem(0, false) && desktop_->startSession() && desktop_->startAccessibility(true));
    desktop_->useInThisProcess();
    platform::processes::install(std::make_shared<platform::processes::LinuxProcesses>());
    platform::codesign::install(std::make_shared<platform::codesign::LinuxCodeSigning>());
    platform::users::install(std::make_shared<platform::users::LinuxUsers>());
    platform::windowserver::installSessionSource(std::make_shared<platform::windowserver::LinuxSessionSource>());
  }
  // The agent stand-in showing its dialog(s), and its process identifier.
  std::string showDialogs(const std::string& executable, int windows) {
    agent_ = desktop_->start({executable, "--show", "--windows", std::to_string(windows)}, false, "agent.log");
    EXPECT_TRUE(agent_ && fileHasLine(desktop_->path("agent.log"), "shown"));
    return agent_ ? std::to_string(agent_->pid()) : "none";
  }
  // The report's lines about the agent `pid`.
  static std::vector<std::string> reportOf(const std::string& pid) {
    return linesAboutAgent(printedLines(AuthorizationTarget::diagnostic() + "\n"), std::stoll(pid));
  }

  std::unique_ptr<AuthorizationDesktop> desktop_;
  std::unique_ptr<ChildProcess> agent_;
};

TEST_F(AuthorizationDialogTest, TheOneDialogOfAGenuineAgentIsTakenButNotOneOfTwo) {
  startDesktop();
  const std::string agent = desktop_->agent();
  std::string pid = showDialogs(agent, 2);
  const std::vector<std::string> two{"Accessibility trusted: true",
                                     "Locked: false",
                                     "SecurityAgent pid " + pid + ", Apple signature verified: true",
                                     "Accessible windows: 2",
                                     "Password fallback: false; secure field: true; own account: true",
                                     "Safe direct input ready: false",
                                     "Password fallback: false; secure field: true; own account: true",
                                     "Safe direct input ready: false"};
  EXPECT_TRUE(eventually([&] { return reportOf(pid).size() == two.size(); }, 20));
  // At most one of the two holds the keyboard focus; which one is the display's business.
  auto report = reportOf(pid);
  EXPECT_LE(std::count(report.begin(), report.end(), "Safe direct input ready: true"), 1);
  std::replace(report.begin(), report.end(), std::string("Safe direct input ready: true"),
               std::string("Safe direct input ready: false"));
  EXPECT_EQ(report, two);
  EXPECT_FALSE(AuthorizationTarget::capture()) << "two qualifying dialogs";
  // The unlock's road is untouched: the system-wide element still answers nothing.
  ax::AttributeValue focused;
  EXPECT_EQ(ax::current()->copyAttributeValue(ax::current()->createSystemWide(), ax::kFocusedApplicationAttribute,
                                              &focused),
            ax::AXError::apiDisabled);

  agent_.reset();
  pid = showDialogs(agent, 1);
  ASSERT_TRUE(eventually([] { return AuthorizationTarget::capture().has_value(); }, 20));
  const auto target = AuthorizationTarget::capture();
  EXPECT_EQ(std::to_string(target->pid), pid);
  const auto field = target->secureField();
  ASSERT_TRUE(field);
  EXPECT_TRUE(target->isCurrentAccount());
  EXPECT_TRUE(target->ready(*field));
  EXPECT_FALSE(target->passwordButton());
  EXPECT_FALSE(target->switchToPassword());
}

TEST_F(AuthorizationDialogTest, AnAgentRunFromAFolderTheUserMayWriteIsRefused) {
  startDesktop();
  const std::string pid = showDialogs(desktop_->agent(false), 1);
  EXPECT_TRUE(eventually([&] { return reportOf(pid).size() == 3; }, 10));
  EXPECT_EQ(reportOf(pid), (std::vector<std::string>{"Accessibility trusted: true", "Locked: false",
                                                     "SecurityAgent pid " + pid + ", Apple signature verified: false"}));
  EXPECT_FALSE(AuthorizationTarget::capture());
}

TEST_F(AuthorizationDialogTest, WithoutAnEnabledAccessibilityBusEveryQueryAnswersApiDisabled) {
  const auto application = ax::current()->createApplication(::getpid());
  ax::AttributeValue windows;
  bool settable = true;
  const auto refused = [&] {
    return ax::current()->copyAttributeValue(application, "AXWindows", &windows) == ax::AXError::apiDisabled &&
           ax::current()->isAttributeSettable(application, "AXValue", &settable) == ax::AXError::apiDisabled &&
           ax::current()->setAttributeValue(application, "AXValue", std::string("x")) == ax::AXError::apiDisabled &&
           ax::current()->performAction(application, "AXPress") == ax::AXError::apiDisabled && !settable;
  };
  EXPECT_TRUE(refused());
  EXPECT_TRUE(logs().contains("There is no session bus, so no accessibility bus"));

  ASSERT_TRUE(desktop_->startSession());
  desktop_->useInThisProcess();
  EXPECT_TRUE(eventually([&] { return refused() && logs().contains("The accessibility bus is not running"); }, 10));

  ASSERT_TRUE(desktop_->startAccessibility(false));
  EXPECT_TRUE(eventually(
      [&] { return refused() && logs().contains("Accessibility is turned off on this desktop"); }, 10));
  EXPECT_TRUE(logs().contains("other applications' windows cannot be read"));
}

}  // namespace
