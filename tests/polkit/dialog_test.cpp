// The authorization-dialog target on the Linux layers in this process (root, so its agents
// run as root too), against real dialogs on a real accessibility bus: one candidate only, an
// agent run from a folder the user may write, element numbers past the bridge's limit and
// time-outs out of range, and the accessibility bus missing or turned off.
// Each test needs a process of its own, as ctest runs them: libatspi connects once per process.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <limits>

#include "platform/accessibility/accessibility_linux.hpp"
#include "platform/accessibility/atspi_linux.hpp"
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
using namespace quorvel::testing;
using Lines = std::vector<std::string>;

class AuthorizationDialogTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    desktop_ = std::make_unique<AuthorizationDesktop>(home() + "/desktop");
    ax::install(std::make_shared<ax::LinuxAccessibility>());
  }
  void TearDown() override {
    PlatformTest::TearDown();
    agent_.reset(), desktop_.reset();
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
  // The agent stand-in's process showing `windows` dialogs; the report's lines about it.
  Lines showDialogs(const std::string& executable, int windows, std::size_t reportLines) {
    agent_ = desktop_->start({executable, "--show", "--windows", std::to_string(windows)}, false, "agent.log");
    EXPECT_TRUE(agent_ && fileHasLine(desktop_->path("agent.log"), "shown"));
    const auto report = [&] { return linesAboutAgent(printedLines(AuthorizationTarget::diagnostic() + "\n"), agent_->pid()); };
    EXPECT_TRUE(eventually([&] { return report().size() == reportLines; }, 20)) << ::testing::PrintToString(report());
    return report();
  }
  std::string agentLine(bool verified) const {
    return "SecurityAgent pid " + std::to_string(agent_->pid()) + ", Apple signature verified: " + (verified ? "true" : "false");
  }

  std::unique_ptr<AuthorizationDesktop> desktop_;
  std::unique_ptr<ChildProcess> agent_;
};

TEST_F(AuthorizationDialogTest, TheOneDialogOfAGenuineAgentIsTakenButNotOneOfTwo) {
  startDesktop();
  const std::string agent = desktop_->agent();
  Lines report = showDialogs(agent, 2, 8);
  // At most one of the two holds the keyboard focus; which one is the display's business.
  EXPECT_LE(std::count(report.begin(), report.end(), "Safe direct input ready: true"), 1);
  std::replace(report.begin(), report.end(), std::string("Safe direct input ready: true"),
               std::string("Safe direct input ready: false"));
  const std::string window = "Password fallback: false; secure field: true; own account: true";
  EXPECT_EQ(report, (Lines{"Accessibility trusted: true", "Locked: false", agentLine(true), "Accessible windows: 2",
                           window, "Safe direct input ready: false", window, "Safe direct input ready: false"}));
  EXPECT_FALSE(AuthorizationTarget::capture()) << "two qualifying dialogs";
  // The unlock's road is untouched: the system-wide element still answers nothing.
  ax::AttributeValue focused;
  EXPECT_EQ(ax::current()->copyAttributeValue(ax::current()->createSystemWide(), ax::kFocusedApplicationAttribute, &focused),
            ax::AXError::apiDisabled);

  showDialogs(agent, 1, 6);
  const auto target = AuthorizationTarget::capture();
  ASSERT_TRUE(target);
  EXPECT_EQ(target->pid, agent_->pid());
  const auto field = target->secureField();
  ASSERT_TRUE(field);
  EXPECT_TRUE(target->ready(*field));
  EXPECT_FALSE(target->switchToPassword()) << "no password-fallback button";
}

TEST_F(AuthorizationDialogTest, AnAgentRunFromAFolderTheUserMayWriteIsRefused) {
  startDesktop();
  const Lines report = showDialogs(desktop_->agent(false), 1, 3);
  EXPECT_EQ(report, (Lines{"Accessibility trusted: true", "Locked: false", agentLine(false)}));
  EXPECT_FALSE(AuthorizationTarget::capture());
}

// With room for only three elements the dialog's five children overflow the table in the
// middle of one query: every number that query hands out must still name its element.
TEST_F(AuthorizationDialogTest, ElementNumbersHoldThroughTheQueryThatHandsThemOut) {
  startDesktop();
  agent_ = desktop_->start({desktop_->agent(), "--show"}, false, "agent.log");
  ASSERT_TRUE(agent_ && fileHasLine(desktop_->path("agent.log"), "shown"));
  auto& bridge = ax::AtspiBridge::shared();
  const auto accessibility = ax::current();
  const auto application = accessibility->createApplication(static_cast<std::int32_t>(agent_->pid()));
  const auto query = [&](ax::Element element, const char* attribute) {
    ax::AttributeValue value;
    const ax::AXError error = accessibility->copyAttributeValue(element, attribute, &value);
    return std::make_pair(error, value);
  };
  // Only the window is remembered before the limit is lowered.
  ax::ElementList windows;
  ASSERT_TRUE(eventually([&] {
    const auto [found, value] = query(application, "AXWindows");
    if (found == ax::AXError::success) windows = std::get<ax::ElementList>(value);
    return windows.size() == 1;
  }, 20));
  bridge.setMostRemembered(3);
  const auto children = query(windows[0], "AXChildren");
  ASSERT_EQ(children.first, ax::AXError::success);
  bridge.setMostRemembered(ax::AtspiBridge::kMostRemembered);
  Lines roles;
  for (const auto& child : std::get<ax::ElementList>(children.second)) {
    const auto [error, role] = query(child, "AXRole");
    roles.push_back(error == ax::AXError::success ? std::get<std::string>(role) : "error");
  }
  EXPECT_EQ(roles, (Lines{"AXStaticText", "AXTextField", "AXTextField", "AXButton", "AXButton"}));

  // The walk for the focused element overflows it too (the table is emptied before it).
  bridge.setMostRemembered(3);
  const auto focused = query(application, "AXFocusedUIElement");
  ASSERT_EQ(focused.first, ax::AXError::success);
  bridge.setMostRemembered(ax::AtspiBridge::kMostRemembered);
  const auto field = std::get<ax::Element>(focused.second);
  EXPECT_EQ(query(field, "AXSubrole"), std::make_pair(ax::AXError::success, ax::AttributeValue(std::string("AXSecureTextField"))));

  // Past the limit, numbers handed out earlier are given up and never name another element.
  bridge.setMostRemembered(3);
  EXPECT_EQ(query(field, "AXRole").first, ax::AXError::invalidUIElement);
  std::int32_t pid = 0;
  EXPECT_EQ(accessibility->getPid(field, &pid), ax::AXError::invalidUIElement);
  const auto again = query(application, "AXFocusedUIElement");
  ASSERT_EQ(again.first, ax::AXError::success);
  EXPECT_NE(std::get<ax::Element>(again.second), field);

  // Time-outs: none that is not a number of seconds; a huge one waits as long as it can.
  for (const float seconds : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                              -std::numeric_limits<float>::infinity(), -1.0f}) {
    EXPECT_EQ(accessibility->setMessagingTimeout(application, seconds), ax::AXError::illegalArgument) << seconds;
  }
  ASSERT_EQ(accessibility->setMessagingTimeout(application, 1e9f), ax::AXError::success);
  EXPECT_EQ(query(application, "AXWindows").first, ax::AXError::success);
}

TEST_F(AuthorizationDialogTest, WithoutAnEnabledAccessibilityBusEveryQueryAnswersApiDisabled) {
  const auto application = ax::current()->createApplication(::getpid());
  const auto refusedWith = [&](const char* cause) {
    ax::AttributeValue windows;
    bool settable = true;
    return ax::current()->copyAttributeValue(application, "AXWindows", &windows) == ax::AXError::apiDisabled &&
           ax::current()->isAttributeSettable(application, "AXValue", &settable) == ax::AXError::apiDisabled &&
           ax::current()->setAttributeValue(application, "AXValue", std::string("x")) == ax::AXError::apiDisabled &&
           ax::current()->performAction(application, "AXPress") == ax::AXError::apiDisabled && !settable &&
           logs().contains(cause);
  };
  EXPECT_TRUE(refusedWith("There is no session bus, so no accessibility bus"));
  ASSERT_TRUE(desktop_->startSession());
  desktop_->useInThisProcess();
  EXPECT_TRUE(eventually([&] { return refusedWith("The accessibility bus is not running"); }, 10));
  ASSERT_TRUE(desktop_->startAccessibility(false));
  EXPECT_TRUE(eventually([&] { return refusedWith("Accessibility is turned off on this desktop"); }, 10));
  EXPECT_TRUE(logs().contains("other applications' windows cannot be read"));
}

}  // namespace
