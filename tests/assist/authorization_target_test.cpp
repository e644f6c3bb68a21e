// The authorization-dialog target on the simulated security agent: which dialogs it accepts,
// the walk over a dialog's controls and its limits, switching to password entry, readiness
// of the secure field, writing into it and confirming, time-outs and the report.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/password_vault.hpp"
#include "platform/accessibility/simulated_user_interface.hpp"
#include "support/platform_fixture.hpp"
#include "support/simulated_lock_machine.hpp"
#include "support/simulated_security_agent.hpp"
#include "unlock/authorization_target.hpp"

namespace {

using quorvel::AuthorizationTarget;
using quorvel::testing::lockMachine;
using quorvel::testing::SimulatedLockMachine;
using quorvel::testing::SimulatedSecurityAgent;
using quorvel::testing::simulatedUsers;
using Dialog = SimulatedSecurityAgent::Dialog;
using DialogSpec = SimulatedSecurityAgent::DialogSpec;
namespace ax = platform::accessibility;

DialogSpec passwordDialog(std::optional<std::string> account = std::string(SimulatedSecurityAgent::kUserName)) {
  DialogSpec spec;
  spec.offersTouchID = false;
  spec.accountName = std::move(account);
  return spec;
}

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

TEST_F(AuthorizationTargetTest, CapturesTheGenuineAgentsTouchIDDialog) {
  auto& dialog = agent().showDialog();
  const auto target = AuthorizationTarget::capture();
  ASSERT_TRUE(target);
  EXPECT_EQ(target->pid, agent().pid());
  EXPECT_EQ(target->application, agent().applicationElement());
  EXPECT_EQ(target->window, dialog.window);
  EXPECT_EQ(target->passwordButton(), dialog.fallbackButton);
  EXPECT_FALSE(target->secureField());
  EXPECT_TRUE(target->isPresent());
  // Checked against the exact requirement, asking the agent with a 0.2 s time-out.
  EXPECT_EQ(lockMachine().codeSigning().requirementTexts().back(),
            "anchor apple and identifier \"com.apple.SecurityAgent\"");
  EXPECT_NEAR(lockMachine().accessibility().timeoutFor(agent().applicationElement()), 0.2, 1e-6);
}

TEST_F(AuthorizationTargetTest, APasswordDialogCountsOnlyForThisUser) {
  auto& own = agent().showDialog(passwordDialog());
  auto target = AuthorizationTarget::capture();
  ASSERT_TRUE(target);
  EXPECT_EQ(target->window, own.window);
  EXPECT_TRUE(target->isCurrentAccount());
  EXPECT_EQ(target->secureField(), own.secureField);
  agent().close(own);

  auto& full = agent().showDialog(passwordDialog(std::string(SimulatedSecurityAgent::kFullUserName)));
  ASSERT_TRUE(AuthorizationTarget::capture()) << "the full name names this user too";
  agent().showDialog(passwordDialog("bob"));
  ASSERT_TRUE(AuthorizationTarget::capture()) << "another user's dialog beside it is no candidate";
  EXPECT_EQ(AuthorizationTarget::capture()->window, full.window);
}

TEST_F(AuthorizationTargetTest, AnotherUsersPasswordDialogIsNoCandidate) {
  auto& dialog = agent().showDialog(passwordDialog("bob"));
  EXPECT_FALSE(targetOn(dialog).isCurrentAccount());
  EXPECT_FALSE(AuthorizationTarget::capture());
  // Without a name field, or with an empty one, the dialog names nobody.
  agent().close(dialog);
  auto& nameless = agent().showDialog(passwordDialog(std::nullopt));
  EXPECT_FALSE(targetOn(nameless).isCurrentAccount());
  agent().close(nameless);
  simulatedUsers().setFullUserName("");
  auto& empty = agent().showDialog(passwordDialog(std::string()));
  EXPECT_FALSE(targetOn(empty).isCurrentAccount());
  EXPECT_FALSE(AuthorizationTarget::capture());
}

TEST_F(AuthorizationTargetTest, AnotherUsersDialogWithAFallbackButtonIsStillACandidate) {
  DialogSpec spec;
  spec.accountName = "bob";
  agent().showDialog(spec);
  EXPECT_TRUE(AuthorizationTarget::capture());
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
  auto& helper = launchAgent(other);
  helper.showDialog();
  EXPECT_FALSE(AuthorizationTarget::capture());
  EXPECT_TRUE(AuthorizationTarget::agentPIDs() == std::vector<std::int32_t>{impostor.pid()});

  // An unsigned or broken signature fails the same way.
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
}

TEST_F(AuthorizationTargetTest, AnAgentThatDoesNotAnswerInTimeShowsNoWindows) {
  agent().showDialog();
  agent().setResponseDelay(0.25);
  EXPECT_FALSE(AuthorizationTarget::capture());
  EXPECT_NE(AuthorizationTarget::diagnostic().find("Accessible windows: 0"), std::string::npos);
  agent().setResponseDelay(0.19);
  EXPECT_TRUE(AuthorizationTarget::capture());
}

TEST_F(AuthorizationTargetTest, AgentsAreFoundByTheirProcessName) {
  auto& processes = lockMachine().processes();
  const auto agents = AuthorizationTarget::agentPIDs();
  ASSERT_EQ(agents, std::vector<std::int32_t>{agent().pid()});

  processes.setNameFails(agent().pid(), true);
  EXPECT_TRUE(AuthorizationTarget::agentPIDs().empty());
  processes.setNameFails(agent().pid(), false);

  processes.setListingFails(true);
  EXPECT_TRUE(AuthorizationTarget::agentPIDs().empty());
  EXPECT_FALSE(AuthorizationTarget::capture());
  processes.setListingFails(false);

  // A name that only starts like the agent's, or holds bytes that are not UTF-8, is another.
  auto record = *processes.process(agent().pid());
  record.comm = "SecurityAgent\xff";
  processes.setProcess(record);
  EXPECT_TRUE(AuthorizationTarget::agentPIDs().empty());
  record.comm = "SecurityAgentX";
  processes.setProcess(record);
  EXPECT_TRUE(AuthorizationTarget::agentPIDs().empty());
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
}

TEST_F(AuthorizationTargetTest, ChildrenAreReadOnlyDownToDepthSeven) {
  DialogSpec deep = passwordDialog();
  deep.nesting = 7;  // the controls sit at depth 8, children of a group at depth 7
  auto& reachable = agent().showDialog(deep);
  EXPECT_EQ(targetOn(reachable).secureField(), reachable.secureField);
  EXPECT_TRUE(targetOn(reachable).isCurrentAccount());
  agent().close(reachable);

  deep.nesting = 8;
  auto& beyond = agent().showDialog(deep);
  EXPECT_FALSE(targetOn(beyond).secureField());
  EXPECT_FALSE(targetOn(beyond).isCurrentAccount());
  EXPECT_EQ(targetOn(beyond).controls().size(), 9u);
  EXPECT_FALSE(AuthorizationTarget::capture());
}

TEST_F(AuthorizationTargetTest, TheWalkStopsAtOneHundredElements) {
  // Window, fillers, group, prompt, name field: the secure field is element fillers + 5.
  DialogSpec spec = passwordDialog();
  spec.fillerBefore = 95;
  auto& last = agent().showDialog(spec);
  const auto target = targetOn(last);
  EXPECT_EQ(target.controls().size(), 100u);
  EXPECT_EQ(target.controls().back(), *last.secureField);
  EXPECT_EQ(target.secureField(), last.secureField);
  agent().close(last);

  spec.fillerBefore = 96;
  auto& cut = agent().showDialog(spec);
  EXPECT_EQ(targetOn(cut).controls().size(), 100u);
  EXPECT_FALSE(targetOn(cut).secureField());
  EXPECT_TRUE(targetOn(cut).isCurrentAccount());
  EXPECT_FALSE(AuthorizationTarget::capture());
}

TEST_F(AuthorizationTargetTest, AChildListThatCannotBeReadEndsThatBranch) {
  auto& dialog = agent().showDialog(passwordDialog());
  ui().setAttributeError(dialog.content, "AXChildren", ax::AXError::cannotComplete);
  EXPECT_EQ(targetOn(dialog).controls().size(), 2u);
  ui().setAttributeError(dialog.content, "AXChildren", std::nullopt);
  ui().setAttribute(dialog.content, "AXChildren", std::string("not a list"));
  EXPECT_EQ(targetOn(dialog).controls().size(), 2u);
}

TEST_F(AuthorizationTargetTest, PasswordButtonTitles) {
  for (const char* title : {"Use Password", "Use Password\u2026", "Use Password..."}) {
    DialogSpec spec;
    spec.fallbackTitle = title;
    auto& dialog = agent().showDialog(spec);
    EXPECT_EQ(targetOn(dialog).passwordButton(), dialog.fallbackButton) << title;
    agent().close(dialog);
  }
  for (const char* title : {"Use password", "Use Password\u2026 ", "Use Touch ID"}) {
    DialogSpec spec;
    spec.fallbackTitle = title;
    auto& dialog = agent().showDialog(spec);
    EXPECT_FALSE(targetOn(dialog).passwordButton()) << title;
    agent().close(dialog);
  }
  // A button's role counts, not only its title.
  DialogSpec spec;
  auto& dialog = agent().showDialog(spec);
  ui().setAttribute(*dialog.fallbackButton, "AXRole", std::string("AXStaticText"));
  EXPECT_FALSE(targetOn(dialog).passwordButton());
}

TEST_F(AuthorizationTargetTest, TwoPasswordButtonsMeanNone) {
  auto& dialog = agent().showDialog();
  const auto twin = ui().makeElement(agent().pid(), {{"AXRole", std::string("AXButton")},
                                                     {"AXTitle", std::string("Use Password")}});
  auto children = std::get<ax::ElementList>(*ui().storedAttribute(dialog.content, "AXChildren"));
  children.push_back(twin);
  ui().setAttribute(dialog.content, "AXChildren", children);
  const auto target = targetOn(dialog);
  EXPECT_FALSE(target.passwordButton());
  EXPECT_FALSE(target.switchToPassword());
  EXPECT_TRUE(ui().performed().empty());
  EXPECT_FALSE(AuthorizationTarget::capture());
}

// --- switching to password entry -----------------------------------------------------------

TEST_F(AuthorizationTargetTest, SwitchesATouchIDDialogToPasswordEntry) {
  auto& dialog = agent().showDialog();
  const auto target = AuthorizationTarget::capture();
  ASSERT_TRUE(target);
  EXPECT_TRUE(target->switchToPassword());
  EXPECT_TRUE(dialog.passwordMode);
  ASSERT_EQ(ui().performed().size(), 1u);
  EXPECT_EQ(ui().performed()[0].action, "AXPress");
  // The same window now offers the secure field, focused and ready.
  EXPECT_FALSE(target->passwordButton());
  ASSERT_EQ(target->secureField(), dialog.secureField);
  EXPECT_TRUE(target->ready(*dialog.secureField));
  EXPECT_FALSE(target->switchToPassword()) << "no button left to press";
  const auto again = AuthorizationTarget::capture();
  ASSERT_TRUE(again);
  EXPECT_EQ(again->window, dialog.window);
}

TEST_F(AuthorizationTargetTest, ARefusedPressIsReportedAsFalse) {
  auto& dialog = agent().showDialog();
  ui().setAction(*dialog.fallbackButton, "AXPress", [] { return ax::AXError::cannotComplete; });
  EXPECT_FALSE(targetOn(dialog).switchToPassword());
  ui().removeAction(*dialog.fallbackButton, "AXPress");
  EXPECT_FALSE(targetOn(dialog).switchToPassword());
}

TEST_F(AuthorizationTargetTest, AClosedDialogIsNoLongerPresent) {
  auto& dialog = agent().showDialog();
  const auto target = targetOn(dialog);
  EXPECT_TRUE(target.isPresent());
  agent().close(dialog);
  EXPECT_FALSE(target.isPresent());
  EXPECT_FALSE(target.switchToPassword());
  agent().quit();
  EXPECT_FALSE(target.isPresent());
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
  std::size_t presses(const ax::Element& element) {
    std::size_t count = 0;
    for (const auto& performed : ui().performed()) count += performed.element == element;
    return count;
  }
  int reads = 0;
};

TEST_F(AuthorizationSubmitTest, WritesThePasswordIntoTheFieldAndConfirms) {
  auto& dialog = agent().showDialog(passwordDialog());
  EXPECT_TRUE(submit(dialog));
  EXPECT_EQ(reads, 1);
  ASSERT_EQ(ui().writes().size(), 1u);
  EXPECT_EQ(ui().writes()[0].element, *dialog.secureField);
  EXPECT_EQ(ui().writes()[0].attribute, "AXValue");
  EXPECT_EQ(ui().writes()[0].value, ax::AttributeValue(std::string(SimulatedSecurityAgent::kUserPassword)));
  EXPECT_EQ(presses(*dialog.confirmButton), 1u);
  EXPECT_EQ(agent().approvals(), 1);
  EXPECT_TRUE(dialog.closed);
  EXPECT_TRUE(lockMachine().events().posted().empty()) << "no key events";
}

TEST_F(AuthorizationSubmitTest, AWrongPasswordIsStillAnAcceptedPress) {
  auto& dialog = agent().showDialog(passwordDialog());
  EXPECT_TRUE(submit(dialog, std::string("wrong")));
  EXPECT_EQ(agent().rejections(), 1);
  EXPECT_FALSE(dialog.closed);
}

TEST_F(AuthorizationSubmitTest, EachConfirmTitleIsFound) {
  for (const char* title : {"OK", "Unlock", "Allow"}) {
    DialogSpec spec = passwordDialog();
    spec.confirmTitle = title;
    auto& dialog = agent().showDialog(spec);
    EXPECT_TRUE(submit(dialog)) << title;
  }
  DialogSpec spec = passwordDialog();
  spec.confirmTitle = "Modify Settings";
  auto& dialog = agent().showDialog(spec);
  const auto writes = ui().writes().size();
  EXPECT_FALSE(submit(dialog));
  EXPECT_EQ(reads, 0);
  EXPECT_EQ(ui().writes().size(), writes);
}

TEST_F(AuthorizationSubmitTest, ADisabledConfirmButtonIsNotPressed) {
  DialogSpec spec = passwordDialog();
  spec.confirmEnabled = false;
  auto& dialog = agent().showDialog(spec);
  EXPECT_FALSE(submit(dialog));
  EXPECT_EQ(dialog.typed, SimulatedSecurityAgent::kUserPassword) << "the password was written";
  EXPECT_EQ(presses(*dialog.confirmButton), 0u);
  // An enabled state that is not a Boolean counts as disabled too.
  ui().setAttribute(*dialog.confirmButton, "AXEnabled", 1.0);
  EXPECT_FALSE(submit(dialog));
  EXPECT_EQ(presses(*dialog.confirmButton), 0u);
  EXPECT_EQ(agent().approvals(), 0);
}

TEST_F(AuthorizationSubmitTest, NothingIsReadOrWrittenWhenNotPermittedOrNotReady) {
  auto& dialog = agent().showDialog(passwordDialog());
  EXPECT_FALSE(submit(dialog, std::string(SimulatedSecurityAgent::kUserPassword), [] { return false; }));
  EXPECT_EQ(reads, 0);
  ui().removeAttribute(agent().applicationElement(), "AXFocusedUIElement");
  EXPECT_FALSE(submit(dialog));
  EXPECT_EQ(reads, 0);
  EXPECT_TRUE(ui().writes().empty());
  EXPECT_TRUE(ui().performed().empty());
}

TEST_F(AuthorizationSubmitTest, NoPasswordMeansNoWrite) {
  auto& dialog = agent().showDialog(passwordDialog());
  EXPECT_FALSE(submit(dialog, std::nullopt));
  EXPECT_EQ(reads, 1);
  EXPECT_TRUE(ui().writes().empty());
  EXPECT_TRUE(ui().performed().empty());
}

TEST_F(AuthorizationSubmitTest, AFailedWriteIsNotConfirmed) {
  auto& dialog = agent().showDialog(passwordDialog());
  ui().setWriteError(*dialog.secureField, "AXValue", ax::AXError::cannotComplete);
  EXPECT_FALSE(submit(dialog));
  EXPECT_TRUE(ui().performed().empty());
}

// Permission withdrawn, focus taken or the confirm button replaced between the write and
// the press: the button is not pressed.
TEST_F(AuthorizationSubmitTest, ChangesAfterTheWriteStopThePress) {
  auto& dialog = agent().showDialog(passwordDialog());
  int checks = 0;
  EXPECT_FALSE(submit(dialog, std::string(SimulatedSecurityAgent::kUserPassword), [&] { return ++checks < 3; }));
  EXPECT_EQ(ui().writes().size(), 1u);
  EXPECT_TRUE(ui().performed().empty());

  const auto application = agent().applicationElement();
  ui().setSettable(*dialog.secureField, "AXValue", true,
                   [&](const ax::AttributeValue&) { ui().removeAttribute(application, "AXFocusedUIElement"); });
  EXPECT_FALSE(submit(dialog));
  EXPECT_TRUE(ui().performed().empty());

  ui().setAttribute(application, "AXFocusedUIElement", *dialog.secureField);
  const auto replacement = ui().makeElement(agent().pid(), {{"AXRole", std::string("AXButton")},
                                                            {"AXTitle", std::string("OK")},
                                                            {"AXEnabled", true}});
  ui().setSettable(*dialog.secureField, "AXValue", true, [&](const ax::AttributeValue&) {
    ui().setAttribute(dialog.content, "AXChildren",
                      ax::ElementList{*dialog.nameField, *dialog.secureField, replacement});
  });
  EXPECT_FALSE(submit(dialog));
  EXPECT_TRUE(ui().performed().empty());
}

// The whole road on the agent: a Touch ID dialog is switched to password entry, found again
// with its secure field focused, and approved with the saved password, read once at the
// moment of writing.
TEST_F(AuthorizationSubmitTest, TouchIDDialogApprovedWithTheSavedPassword) {
  ASSERT_TRUE(quorvel::PasswordVault::set(SimulatedSecurityAgent::kUserPassword));
  auto& dialog = agent().showDialog();
  const auto first = AuthorizationTarget::capture();
  ASSERT_TRUE(first);
  ASSERT_FALSE(first->secureField());
  ASSERT_TRUE(first->switchToPassword());
  const auto target = AuthorizationTarget::capture();
  ASSERT_TRUE(target);
  const auto field = target->secureField();
  ASSERT_TRUE(field);
  ASSERT_TRUE(target->ready(*field));
  int vaultReads = 0;
  EXPECT_TRUE(target->submit(*field, [] { return true; }, [&] {
    ++vaultReads;
    return quorvel::PasswordVault::read();
  }));
  EXPECT_EQ(vaultReads, 1);
  EXPECT_EQ(agent().approvals(), 1);
  EXPECT_TRUE(dialog.closed);
  EXPECT_FALSE(target->isPresent());
  EXPECT_FALSE(AuthorizationTarget::capture());
  EXPECT_TRUE(lockMachine().events().posted().empty());
}

// --- the report ----------------------------------------------------------------------------

TEST_F(AuthorizationTargetTest, ReportsEveryAgentAndWindow) {
  agent().quit();
  auto& impostor = launchAgent(SimulatedSecurityAgent::impostorSpec());
  impostor.showDialog();
  auto& genuine = launchAgent();
  genuine.showDialog();
  DialogSpec waiting = passwordDialog();
  genuine.showDialog(waiting);
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

TEST_F(AuthorizationTargetTest, ReportsWhileLockedAndUntrusted) {
  auto& dialog = agent().showDialog(passwordDialog());
  const std::string pidLine =
      "SecurityAgent pid " + std::to_string(agent().pid()) + ", Apple signature verified: true\n";
  EXPECT_EQ(AuthorizationTarget::diagnostic(),
            "Accessibility trusted: true\nLocked: false\n" + pidLine +
                "Accessible windows: 1\n"
                "Password fallback: false; secure field: true; own account: true\n"
                "Safe direct input ready: true");
  (void)dialog;
  lockMachine().accessibility().setTrusted(false);
  lockMachine().session().setScreenLocked(true);
  EXPECT_EQ(AuthorizationTarget::diagnostic(),
            "Accessibility trusted: false\nLocked: true\n" + pidLine +
                "Accessible windows: 1\n"
                "Password fallback: false; secure field: true; own account: true\n"
                "Safe direct input ready: false");
}

TEST_F(AuthorizationTargetTest, ReportWithoutAgents) {
  agent().quit();
  EXPECT_EQ(AuthorizationTarget::diagnostic(), "Accessibility trusted: true\nLocked: false");
}

// --- attribute helpers ---------------------------------------------------------------------

TEST_F(AuthorizationTargetTest, AttributeHelpersGiveValuesOnlyOfTheirType) {
  auto& dialog = agent().showDialog(passwordDialog());
  const auto application = agent().applicationElement();
  EXPECT_EQ(AuthorizationTarget::element(application, "AXFocusedUIElement"), dialog.secureField);
  EXPECT_FALSE(AuthorizationTarget::element(application, "AXWindows"));
  EXPECT_EQ(AuthorizationTarget::text(*dialog.nameField, "AXValue"), SimulatedSecurityAgent::kUserName);
  EXPECT_EQ(AuthorizationTarget::text(*dialog.confirmButton, "AXEnabled"), "");
  EXPECT_EQ(AuthorizationTarget::text(*dialog.confirmButton, "AXHelp"), "");
  EXPECT_FALSE(AuthorizationTarget::attribute(*dialog.confirmButton, "AXHelp"));
  ASSERT_TRUE(AuthorizationTarget::attribute(*dialog.confirmButton, "AXEnabled"));
  ui().setAttributeError(*dialog.nameField, "AXValue", ax::AXError::failure);
  EXPECT_EQ(AuthorizationTarget::text(*dialog.nameField, "AXValue"), "");
}

}  // namespace
