// The authorization-dialog target on the simulated security agent: which dialogs it accepts,
// the walk over a dialog's controls and its limits, switching to password entry, readiness
// of the secure field, writing into it and confirming, time-outs and the report; and what it
// finds on the Linux layers.
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/password_vault.hpp"
#include "platform/accessibility/accessibility_linux.hpp"
#include "platform/accessibility/simulated_user_interface.hpp"
#include "platform/codesign/codesign_linux.hpp"
#include "platform/processes/processes_linux.hpp"
#include "platform/users/users_linux.hpp"
#include "support/platform_fixture.hpp"
#include "support/simulated_lock_machine.hpp"
#include "support/simulated_security_agent.hpp"
#include "unlock/authorization_target.hpp"

namespace {

using quorvel::AuthorizationTarget;
using quorvel::testing::lockMachine;
using quorvel::testing::passwordDialog;
using quorvel::testing::SimulatedLockMachine;
using quorvel::testing::SimulatedSecurityAgent;
using quorvel::testing::simulatedUsers;
using Dialog = SimulatedSecurityAgent::Dialog;
using DialogSpec = SimulatedSecurityAgent::DialogSpec;
namespace ax = platform::accessibility;

class AuthorizationTargetTest : public quorvel::testing::PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    agent_ = std::make_unique<SimulatedSecurityAgent>(lockMachine());
  }
  void TearDown() override {
    others_.clear();
    agent_.reset();
    PlatformTest::TearDown();
  }
  SimulatedSecurityAgent& agent() { return *agent_; }
  SimulatedSecurityAgent& launchAgent(SimulatedLockMachine::ProcessSpec spec = SimulatedSecurityAgent::agentSpec()) {
    others_.push_back(std::make_unique<SimulatedSecurityAgent>(lockMachine(), std::move(spec)));
    return *others_.back();
  }
  ax::SimulatedUserInterface& ui() { return agent().ui(); }
  AuthorizationTarget targetOn(const Dialog& dialog) {
    return AuthorizationTarget(agent().pid(), agent().applicationElement(), dialog.window);
  }

  std::unique_ptr<SimulatedSecurityAgent> agent_;
  std::vector<std::unique_ptr<SimulatedSecurityAgent>> others_;
};

// --- which dialog is accepted --------------------------------------------------------------

// A password dialog counts only when its one name field names this user (short or full name);
// a Touch ID dialog counts for anyone.
TEST_F(AuthorizationTargetTest, APasswordDialogCountsOnlyForThisUser) {
  struct Case {
    std::optional<std::string> account;
    bool offersTouchID;
    std::string fullName;
    bool current;
    bool captured;
  };
  const std::string full = SimulatedSecurityAgent::kFullUserName;
  const Case cases[] = {
      {std::string(SimulatedSecurityAgent::kUserName), false, full, true, true},
      {full, false, full, true, true},
      {std::string("bob"), false, full, false, false},
      {std::nullopt, false, full, false, false},       // no name field
      {std::string(), false, "", false, false},        // an empty name names nobody
      {std::string("bob"), true, full, false, true},   // a fallback button is enough
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.account.value_or("(no field)") + (c.offersTouchID ? ", Touch ID" : ""));
    simulatedUsers().setFullUserName(c.fullName);
    DialogSpec spec = passwordDialog(c.account);
    spec.offersTouchID = c.offersTouchID;
    auto& dialog = agent().showDialog(spec);
    EXPECT_EQ(targetOn(dialog).isCurrentAccount(), c.current);
    const auto target = AuthorizationTarget::capture();
    EXPECT_EQ(target.has_value(), c.captured);
    EXPECT_EQ(target ? target->window : ax::Element{}, c.captured ? dialog.window : ax::Element{});
    agent().close(dialog);
  }
}

TEST_F(AuthorizationTargetTest, ImpostorsAreIgnored) {
  agent().quit();
  auto& impostor = launchAgent(SimulatedSecurityAgent::impostorSpec());
  auto& fake = impostor.showDialog();
  EXPECT_FALSE(AuthorizationTarget::capture());
  EXPECT_EQ(impostor.ui().queryCount(impostor.pid()), 0u) << "an impostor is never asked for its windows";
  const AuthorizationTarget direct(impostor.pid(), impostor.applicationElement(), fake.window);
  EXPECT_FALSE(direct.isPresent());
  EXPECT_FALSE(direct.switchToPassword());
  EXPECT_FALSE(fake.passwordMode);

  // Apple's signature on a process of another name does not make it the agent.
  auto other = SimulatedSecurityAgent::agentSpec();
  other.executablePath = "/System/Library/CoreServices/Helper";
  launchAgent(other).showDialog();
  EXPECT_FALSE(AuthorizationTarget::capture());
  EXPECT_EQ(AuthorizationTarget::agentPIDs(), std::vector<std::int32_t>{impostor.pid()});

  // A broken signature, or no code object, fails the same way.
  auto& genuine = launchAgent();
  genuine.showDialog();
  EXPECT_TRUE(AuthorizationTarget::capture());
  auto broken = SimulatedSecurityAgent::agentSpec().signature;
  broken.intact = false;
  lockMachine().codeSigning().setSignature(genuine.pid(), broken);
  EXPECT_FALSE(AuthorizationTarget::capture());
  EXPECT_FALSE(AuthorizationTarget::isAppleAgent(genuine.pid()));
  lockMachine().codeSigning().setGuestFailure(platform::codesign::errSecCSNoSuchCode);
  EXPECT_FALSE(AuthorizationTarget::isAppleAgent(impostor.pid()));
}

// The simulated agent is no real process, so the Linux code signing finds it unsigned and it
// is never accepted; on all the Linux layers, without logind or an accessibility bus, the
// target finds no dialog (whatever real agents run on this machine) and reports no trust.
// (Each test's set-up installs the simulated machine again.)
TEST_F(AuthorizationTargetTest, OnTheLinuxLayersNoAgentIsApplesAndNothingIsFound) {
  agent().showDialog();
  ASSERT_TRUE(AuthorizationTarget::capture());
  platform::codesign::install(std::make_shared<platform::codesign::LinuxCodeSigning>());
  EXPECT_FALSE(AuthorizationTarget::capture());
  platform::accessibility::install(std::make_shared<ax::LinuxAccessibility>());
  platform::processes::install(std::make_shared<platform::processes::LinuxProcesses>());
  platform::users::install(std::make_shared<platform::users::LinuxUsers>());
  EXPECT_FALSE(AuthorizationTarget::capture());
  const auto agents = AuthorizationTarget::agentPIDs();
  EXPECT_EQ(std::count(agents.begin(), agents.end(), ::getpid()), 0);
  EXPECT_FALSE(AuthorizationTarget::isAppleAgent(::getpid()));
  EXPECT_EQ(AuthorizationTarget::diagnostic().rfind("Accessibility trusted: false\nLocked: false", 0), 0u);
  const AuthorizationTarget target(::getpid(), ax::LinuxAccessibility().createApplication(::getpid()), ax::Element{5});
  EXPECT_TRUE(target.controls().size() == 1);
  EXPECT_FALSE(target.isPresent());
  EXPECT_FALSE(target.switchToPassword());
}

TEST_F(AuthorizationTargetTest, ExactlyOneCandidateOverAllAgentsAndWindows) {
  auto& first = agent().showDialog();
  agent().showDialog(passwordDialog("bob"));  // no candidate
  ASSERT_TRUE(AuthorizationTarget::capture());
  EXPECT_EQ(AuthorizationTarget::capture()->window, first.window);

  auto& second = agent().showDialog(passwordDialog());
  EXPECT_FALSE(AuthorizationTarget::capture()) << "two qualifying windows of one agent";
  agent().close(second);
  ASSERT_TRUE(AuthorizationTarget::capture());

  auto& other = launchAgent();
  other.showDialog();
  EXPECT_FALSE(AuthorizationTarget::capture()) << "one qualifying window in each of two agents";
  other.quit();
  EXPECT_TRUE(AuthorizationTarget::capture());
  agent().close(first);
  EXPECT_FALSE(AuthorizationTarget::capture());
}

TEST_F(AuthorizationTargetTest, NeedsAccessibilityTrustAndAnUnlockedScreen) {
  auto& dialog = agent().showDialog();
  lockMachine().accessibility().setTrusted(false);
  EXPECT_FALSE(AuthorizationTarget::capture());
  EXPECT_EQ(ui().queryCount(agent().pid()), 0u);
  lockMachine().accessibility().setTrusted(true);

  const auto target = AuthorizationTarget::capture();
  ASSERT_TRUE(target);
  lockMachine().lock();
  EXPECT_FALSE(AuthorizationTarget::capture());
  EXPECT_FALSE(target->isPresent());
  EXPECT_FALSE(target->switchToPassword());
  EXPECT_FALSE(dialog.passwordMode);
  lockMachine().unlockByUser();
  EXPECT_TRUE(target->isPresent());
  agent().close(dialog);
  EXPECT_FALSE(target->isPresent()) << "closed";
  EXPECT_FALSE(target->switchToPassword());
}

// Agents are found by their process name; one that does not answer in time shows no windows.
TEST_F(AuthorizationTargetTest, AgentsAreFoundByTheirProcessNameAndMustAnswerInTime) {
  agent().showDialog();
  agent().setResponseDelay(0.25);
  EXPECT_FALSE(AuthorizationTarget::capture());
  EXPECT_NE(AuthorizationTarget::diagnostic().find("Accessible windows: 0"), std::string::npos);
  agent().setResponseDelay(0.19);
  EXPECT_TRUE(AuthorizationTarget::capture());

  auto& processes = lockMachine().processes();
  ASSERT_EQ(AuthorizationTarget::agentPIDs(), std::vector<std::int32_t>{agent().pid()});
  processes.setNameFails(agent().pid(), true);
  EXPECT_TRUE(AuthorizationTarget::agentPIDs().empty());
  processes.setNameFails(agent().pid(), false);
  processes.setListingFails(true);
  EXPECT_TRUE(AuthorizationTarget::agentPIDs().empty());
  EXPECT_FALSE(AuthorizationTarget::capture());
  processes.setListingFails(false);

  // A name that only starts like the agent's, or holds bytes that are not UTF-8, is another.
  auto record = *processes.process(agent().pid());
  for (const char* name : {"SecurityAgent\xff", "SecurityAgentX"}) {
    record.comm = name;
    processes.setProcess(record);
    EXPECT_TRUE(AuthorizationTarget::agentPIDs().empty()) << name;
  }
}

// --- the controls --------------------------------------------------------------------------

TEST_F(AuthorizationTargetTest, ControlsAreWalkedBreadthFirstFromTheWindow) {
  DialogSpec spec = passwordDialog();
  spec.fillerBefore = 2;
  spec.nesting = 2;
  auto& dialog = agent().showDialog(spec);
  const auto controls = targetOn(dialog).controls();
  ASSERT_EQ(controls.size(), 1u + 2 + 1 + 1 + 5);
  EXPECT_EQ(controls.front(), dialog.window);
  // Window; its two texts and the outer group; the inner group; then the dialog's controls.
  EXPECT_EQ(controls[4], dialog.content);
  EXPECT_EQ(controls[6], *dialog.nameField);
  EXPECT_EQ(controls[7], *dialog.secureField);
  EXPECT_EQ(controls[8], dialog.cancelButton);
  EXPECT_EQ(controls[9], *dialog.confirmButton);

  // A child list that cannot be read, or is not a list, ends that branch.
  ui().setAttributeError(dialog.content, "AXChildren", ax::AXError::cannotComplete);
  EXPECT_EQ(targetOn(dialog).controls().size(), 5u);
  ui().setAttributeError(dialog.content, "AXChildren", std::nullopt);
  ui().setAttribute(dialog.content, "AXChildren", std::string("not a list"));
  EXPECT_EQ(targetOn(dialog).controls().size(), 5u);
}

// Children are read down to depth seven (the window is depth 0), and the walk stops at one
// hundred elements; a secure field beyond either limit is not found.
TEST_F(AuthorizationTargetTest, TheWalkStopsAtDepthSevenAndAtOneHundredElements) {
  struct Case {
    int nesting;
    int fillers;
    std::size_t controls;
    bool found;
    bool current;
  };
  for (const Case& c : {Case{7, 0, 13, true, true}, Case{8, 0, 9, false, false}, Case{1, 95, 100, true, true},
                        Case{1, 96, 100, false, true}}) {
    SCOPED_TRACE(testing::Message() << "nesting " << c.nesting << ", fillers " << c.fillers);
    DialogSpec spec = passwordDialog();
    spec.nesting = c.nesting;
    spec.fillerBefore = c.fillers;
    auto& dialog = agent().showDialog(spec);
    const auto target = targetOn(dialog);
    EXPECT_EQ(target.controls().size(), c.controls);
    EXPECT_EQ(target.secureField(), c.found ? dialog.secureField : std::nullopt);
    EXPECT_EQ(target.isCurrentAccount(), c.current);
    EXPECT_EQ(AuthorizationTarget::capture().has_value(), c.found);
    agent().close(dialog);
  }
}

// The password button: its titles, its role, a refused press, and two buttons meaning none.
TEST_F(AuthorizationTargetTest, PasswordButton) {
  const std::pair<const char*, bool> titles[] = {
      {"Use Password", true},       {"Use Password\u2026", true},   {"Use Password...", true},
      {"Use password", false},      {"Use Password\u2026 ", false}, {"Use Touch ID", false}};
  for (const auto& [title, accepted] : titles) {
    DialogSpec spec;
    spec.fallbackTitle = title;
    auto& dialog = agent().showDialog(spec);
    EXPECT_EQ(targetOn(dialog).passwordButton(), accepted ? dialog.fallbackButton : std::nullopt) << title;
    agent().close(dialog);
  }
  // A button's role counts, not only its title.
  auto& text = agent().showDialog();
  ui().setAttribute(*text.fallbackButton, "AXRole", std::string("AXStaticText"));
  EXPECT_FALSE(targetOn(text).passwordButton());
  agent().close(text);

  // A refused press is reported as false.
  auto& refused = agent().showDialog();
  ui().setAction(*refused.fallbackButton, "AXPress", [] { return ax::AXError::cannotComplete; });
  EXPECT_FALSE(targetOn(refused).switchToPassword());
  ui().removeAction(*refused.fallbackButton, "AXPress");
  EXPECT_FALSE(targetOn(refused).switchToPassword());
  agent().close(refused);

  // Two password buttons mean none.
  auto& dialog = agent().showDialog();
  const auto twin = ui().makeElement(agent().pid(), {{"AXRole", std::string("AXButton")},
                                                     {"AXTitle", std::string("Use Password")}});
  auto children = std::get<ax::ElementList>(*ui().storedAttribute(dialog.content, "AXChildren"));
  children.push_back(twin);
  ui().setAttribute(dialog.content, "AXChildren", children);
  const auto target = targetOn(dialog);
  EXPECT_FALSE(target.passwordButton());
  EXPECT_FALSE(target.switchToPassword());
  EXPECT_EQ(ui().performed().size(), 1u) << "only the refused press";
  EXPECT_FALSE(AuthorizationTarget::capture());
}

// --- readiness -----------------------------------------------------------------------------

TEST_F(AuthorizationTargetTest, ReadyNeedsTheFocusedSettableSecureFieldOfThisUsersDialog) {
  auto& dialog = agent().showDialog(passwordDialog());
  const auto target = targetOn(dialog);
  const auto field = *dialog.secureField;
  ASSERT_TRUE(target.ready(field));

  EXPECT_FALSE(target.ready(*dialog.nameField)) << "not the secure field";

  ui().setAttribute(agent().applicationElement(), "AXFocusedUIElement", *dialog.nameField);
  EXPECT_FALSE(target.ready(field)) << "focus elsewhere";
  ui().setAttribute(agent().applicationElement(), "AXFocusedUIElement", std::string("field"));
  EXPECT_FALSE(target.ready(field)) << "focus of another type";
  ui().setAttribute(agent().applicationElement(), "AXFocusedUIElement", field);
  ASSERT_TRUE(target.ready(field));

  ui().setSettableQueryError(field, "AXValue", ax::AXError::cannotComplete);
  EXPECT_FALSE(target.ready(field)) << "settable query failed";
  ui().setSettableQueryError(field, "AXValue", std::nullopt);
  ui().setSettable(field, "AXValue", false);
  EXPECT_FALSE(target.ready(field)) << "value not settable";
  ui().setSettable(field, "AXValue", true);
  ASSERT_TRUE(target.ready(field));

  ui().setAttribute(*dialog.nameField, "AXValue", std::string("bob"));
  EXPECT_FALSE(target.ready(field)) << "another user's dialog";
  ui().setAttribute(*dialog.nameField, "AXValue", std::string(SimulatedSecurityAgent::kUserName));
  ASSERT_TRUE(target.ready(field));

  lockMachine().session().setScreenLocked(true);
  EXPECT_FALSE(target.ready(field)) << "locked";
}

// --- submitting ----------------------------------------------------------------------------

class AuthorizationSubmitTest : public AuthorizationTargetTest {
 protected:
  bool submit(const Dialog& dialog, std::optional<std::string> password = std::string(SimulatedSecurityAgent::kUserPassword),
              std::function<bool()> permitted = [] { return true; }) {
    reads = 0;
    return targetOn(dialog).submit(*dialog.secureField, permitted, [this, password] {
      ++reads;
      return password;
    });
  }
  int reads = 0;
};

// A wrong password is still an accepted press; each confirm title is found.
TEST_F(AuthorizationSubmitTest, AnyPasswordIsConfirmedWithAnyConfirmTitle) {
  auto& wrong = agent().showDialog(passwordDialog());
  EXPECT_TRUE(submit(wrong, std::string("wrong")));
  EXPECT_EQ(agent().rejections(), 1);
  EXPECT_FALSE(wrong.closed);
  agent().close(wrong);
  for (const char* title : {"OK", "Unlock", "Allow"}) {
    DialogSpec spec = passwordDialog();
    spec.confirmTitle = title;
    EXPECT_TRUE(submit(agent().showDialog(spec))) << title;
  }
  EXPECT_EQ(agent().approvals(), 3);
}

// Every way a submission stops, one after the other on one dialog: nothing is pressed, and the
// password is read and written only as far as the road got.
TEST_F(AuthorizationSubmitTest, EveryFailureStopsBeforeThePress) {
  auto& dialog = agent().showDialog(passwordDialog());
  const auto application = agent().applicationElement();
  const auto field = *dialog.secureField;
  const std::string pw = SimulatedSecurityAgent::kUserPassword;
  EXPECT_FALSE(submit(dialog, pw, [] { return false; }));
  EXPECT_EQ(reads, 0) << "not permitted";
  ui().removeAttribute(application, "AXFocusedUIElement");
  EXPECT_FALSE(submit(dialog));
  EXPECT_EQ(reads, 0) << "not ready";
  ui().setAttribute(application, "AXFocusedUIElement", field);
  ui().setAttribute(*dialog.confirmButton, "AXTitle", std::string("Modify Settings"));
  EXPECT_FALSE(submit(dialog));
  EXPECT_EQ(reads, 0) << "no confirm button";
  ui().setAttribute(*dialog.confirmButton, "AXTitle", std::string("OK"));
  EXPECT_FALSE(submit(dialog, std::nullopt));
  EXPECT_EQ(reads, 1) << "no password";
  ui().setWriteError(field, "AXValue", ax::AXError::cannotComplete);
  EXPECT_FALSE(submit(dialog));
  ui().setWriteError(field, "AXValue", std::nullopt);
  EXPECT_TRUE(ui().writes().empty()) << "a failed write";

  // Each of these writes the password but stops before the press: a disabled button (or an
  // enabled state that is not a Boolean), then permission withdrawn, the focus taken or the
  // confirm button replaced after the write.
  for (const ax::AttributeValue& enabled : {ax::AttributeValue(false), ax::AttributeValue(1.0)}) {
    ui().setAttribute(*dialog.confirmButton, "AXEnabled", enabled);
    EXPECT_FALSE(submit(dialog));
  }
  ui().setAttribute(*dialog.confirmButton, "AXEnabled", true);
  int checks = 0;
  EXPECT_FALSE(submit(dialog, pw, [&] { return ++checks < 3; }));
  ui().setSettable(field, "AXValue", true,
                   [&](const ax::AttributeValue&) { ui().removeAttribute(application, "AXFocusedUIElement"); });
  EXPECT_FALSE(submit(dialog));
  ui().setAttribute(application, "AXFocusedUIElement", field);
  const auto replacement = ui().makeElement(agent().pid(), {{"AXRole", std::string("AXButton")},
                                                            {"AXTitle", std::string("OK")},
                                                            {"AXEnabled", true}});
  ui().setSettable(field, "AXValue", true, [&](const ax::AttributeValue&) {
    ui().setAttribute(dialog.content, "AXChildren", ax::ElementList{*dialog.nameField, field, replacement});
  });
  EXPECT_FALSE(submit(dialog));
  EXPECT_EQ(ui().writes().size(), 5u);
  EXPECT_TRUE(ui().performed().empty());
  EXPECT_EQ(agent().approvals() + agent().rejections(), 0);
}

// The whole road on the agent: the genuine agent's Touch ID dialog is captured, switched to
// password entry, found again with its secure field focused, and approved with the saved
// password, read once at the moment of writing.
TEST_F(AuthorizationSubmitTest, TouchIDDialogApprovedWithTheSavedPassword) {
  ASSERT_TRUE(quorvel::PasswordVault::set(SimulatedSecurityAgent::kUserPassword));
  auto& dialog = agent().showDialog();
  const auto first = AuthorizationTarget::capture();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->pid, agent().pid());
  EXPECT_EQ(first->application, agent().applicationElement());
  EXPECT_EQ(first->window, dialog.window);
  EXPECT_EQ(first->passwordButton(), dialog.fallbackButton);
  EXPECT_TRUE(first->isPresent());
  // Checked against the exact requirement, asking the agent with a 0.2 s time-out.
  EXPECT_EQ(lockMachine().codeSigning().requirementTexts().back(),
            "anchor apple and identifier \"com.apple.SecurityAgent\"");
  EXPECT_NEAR(lockMachine().accessibility().timeoutFor(agent().applicationElement()), 0.2, 1e-6);
  ASSERT_FALSE(first->secureField());
  ASSERT_TRUE(first->switchToPassword());
  EXPECT_TRUE(dialog.passwordMode);
  ASSERT_EQ(ui().performed().size(), 1u);
  EXPECT_EQ(ui().performed()[0].action, "AXPress");
  EXPECT_FALSE(first->passwordButton());
  EXPECT_FALSE(first->switchToPassword()) << "no button left to press";
  // The same window now offers the secure field, focused and ready.
  const auto target = AuthorizationTarget::capture();
  ASSERT_TRUE(target);
  EXPECT_EQ(target->window, dialog.window);
  const auto field = target->secureField();
  ASSERT_EQ(field, dialog.secureField);
  ASSERT_TRUE(target->ready(*field));
  int vaultReads = 0;
  EXPECT_TRUE(target->submit(*field, [] { return true; }, [&] {
    ++vaultReads;
    return quorvel::PasswordVault::read();
  }));
  EXPECT_EQ(vaultReads, 1);
  ASSERT_EQ(ui().writes().size(), 1u);
  EXPECT_EQ(ui().writes()[0].element, *field);
  EXPECT_EQ(ui().writes()[0].attribute, "AXValue");
  EXPECT_EQ(ui().writes()[0].value, ax::AttributeValue(std::string(SimulatedSecurityAgent::kUserPassword)));
  ASSERT_EQ(ui().performed().size(), 2u);
  EXPECT_EQ(ui().performed()[1].element, *dialog.confirmButton);
  EXPECT_EQ(agent().approvals(), 1);
  EXPECT_TRUE(dialog.closed);
  EXPECT_FALSE(target->isPresent());
  EXPECT_FALSE(AuthorizationTarget::capture());
  EXPECT_TRUE(lockMachine().events().posted().empty()) << "no key events";
}

// --- the report ----------------------------------------------------------------------------

TEST_F(AuthorizationTargetTest, ReportsEveryAgentAndWindow) {
  agent().quit();
  auto& impostor = launchAgent(SimulatedSecurityAgent::impostorSpec());
  impostor.showDialog();
  auto& genuine = launchAgent();
  genuine.showDialog();
  genuine.showDialog(passwordDialog());
  auto& other = genuine.showDialog(passwordDialog("bob"));
  genuine.ui().setAttribute(genuine.applicationElement(), "AXFocusedUIElement", *other.secureField);

  const std::string expected =
      "Accessibility trusted: true\n"
      "Locked: false\n"
      "SecurityAgent pid " + std::to_string(impostor.pid()) + ", Apple signature verified: false\n"
      "SecurityAgent pid " + std::to_string(genuine.pid()) + ", Apple signature verified: true\n"
      "Accessible windows: 3\n"
      "Password fallback: true; secure field: false; own account: false\n"
      "Password fallback: false; secure field: true; own account: true\n"
      "Safe direct input ready: false\n"
      "Password fallback: false; secure field: true; own account: false\n"
      "Safe direct input ready: false";
  EXPECT_EQ(AuthorizationTarget::diagnostic(), expected);
}

}  // namespace
