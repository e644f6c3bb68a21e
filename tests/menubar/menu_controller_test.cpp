// The menu-bar controller's panel snapshot, its callback table, the status item and panel,
// and the actions behind the rows on the simulated platform, in virtual time.
#include <gtest/gtest.h>

#include <algorithm>

#include "foundation/build_flavour.hpp"
#include "foundation/password_vault.hpp"
#include "foundation/quorvel_password.hpp"
#include "foundation/settings.hpp"
#include "menubar/menubar_fixture.hpp"
#include "onboarding/tutorial_controller.hpp"
#include "overlay/lock_screen_overlay.hpp"
#include "overlay/unlock_animation_view.hpp"
#include "platform/loginitems/login_items.hpp"
#include "support/simulated_display.hpp"
#include "support/simulated_lock_machine.hpp"

namespace quorvel::testing {
namespace {

using platform::loginitems::Status;
namespace ui = platform::ui;

using MenuControllerTest = MenuBarTest;

TEST_F(MenuControllerTest, TheSnapshotOfAFreshInstallation) {
  lockMachine().accessibility().setTrusted(false);
  const MenuPanelState state = controller->currentState();
  EXPECT_EQ(state.statusText, "Set up your face first");
  EXPECT_TRUE(state.statusIsWarning);
  EXPECT_EQ(state.enrolTitle, "Set up my face\u2026");
  EXPECT_EQ(state.passwordTitle, "Save my login password\u2026");
  EXPECT_FALSE(state.quorvelPasswordTitle.has_value());
  EXPECT_TRUE(state.accessibilityWarning);
  EXPECT_FALSE(state.authorizationAssist);
  EXPECT_FALSE(state.authorizationAssistAvailable);
  EXPECT_EQ(state.authorizationAssistStatus, "Off");
  EXPECT_FALSE(state.openAtLogin);
  EXPECT_EQ(state.isDeveloper, BuildFlavour::isDeveloper);
  if (BuildFlavour::isDeveloper) {
    ASSERT_EQ(state.engines.size(), 2u);
    EXPECT_EQ(state.engines[0], (MenuPanelState::Engine{"dlib (public domain)", true, true}));
    EXPECT_EQ(state.engines[1], (MenuPanelState::Engine{"ArcFace (personal use only)", false, true}));
  } else {
    EXPECT_TRUE(state.engines.empty());
  }
}

TEST_F(MenuControllerTest, TheSnapshotFollowsWhatIsStored) {
  lockMachine().accessibility().setTrusted(true);
  enrol();
  ASSERT_TRUE(QuorvelPassword::set("pw"));
  // An app password without a saved login password: the row stays hidden.
  EXPECT_FALSE(controller->currentState().quorvelPasswordTitle.has_value());
  ASSERT_TRUE(PasswordVault::set("login"));
  MenuPanelState state = controller->currentState();
  EXPECT_EQ(state.enrolTitle, "Set up my face again\u2026");
  EXPECT_EQ(state.passwordTitle, "Change my saved password\u2026");
  EXPECT_EQ(state.quorvelPasswordTitle, "Change Quorvel password\u2026");
  EXPECT_FALSE(state.accessibilityWarning);
  QuorvelPassword::clear();
  EXPECT_EQ(controller->currentState().quorvelPasswordTitle,
            "Protect these with a Quorvel password\u2026");

  Settings::shared().setUnlockEnabled(true);
  state = controller->currentState();
  EXPECT_EQ(state.statusText, "Ready, your face will unlock this Mac");
  EXPECT_FALSE(state.statusIsWarning);
  EXPECT_TRUE(state.unlockEnabled);

  // The unlock switch through the callback table: setting, icon and status line.
  controller->currentActions().toggleUnlock();
  state = controller->currentState();
  EXPECT_FALSE(state.unlockEnabled);
  EXPECT_EQ(state.statusText, "Turned off");
  EXPECT_TRUE(state.statusIsWarning);
  EXPECT_EQ(controller->iconRefreshes(), 1);
}

TEST_F(MenuControllerTest, CallbacksOfAControllerThatIsGoneDoNothingQuitIncluded) {
  const MenuPanelActions actions = controller->currentActions();
  dropController();
  actions.toggleUnlock();
  actions.forgetFace();
  actions.chooseEngine("dlib (public domain)");
  actions.quit();
  EXPECT_TRUE(Settings::shared().unlockEnabled());
  EXPECT_TRUE(simulatedAlerts().shown().empty());
  EXPECT_EQ(simulatedApplication().terminateCount(), 0);
}

TEST_F(MenuControllerTest, TheRowsReachTheirActions) {
  // Granting Accessibility prompts and explains.
  lockMachine().accessibility().setTrusted(false);
  auto actions = controller->currentActions();
  const auto prompts = lockMachine().accessibility().promptCount();
  actions.grantAccessibility();
  EXPECT_EQ(lockMachine().accessibility().promptCount(), prompts + 1);
  ASSERT_EQ(simulatedAlerts().shown().size(), 1u);
  expectAlert(0, "Turn on Accessibility for Quorvel",
              "System Settings should now be open at Privacy & Security \u2192 Accessibility. "
              "Switch Quorvel on there, then come back to this menu.",
              {"OK"});
  EXPECT_EQ(activations(), Strings{"activate ignoringOtherApps=false"});

  simulatedAlerts().reset();
  actions.forgetFace();
  actions.setPassword();
  actions.setQuorvelPassword();
  actions.checkForUpdates();
  EXPECT_EQ(messages(), (Strings{"Forget your face and password?", "Save your login password",
                                 "Set a Quorvel password"}));
  const auto events = simulatedUpdater().events();
  EXPECT_NE(std::find(events.begin(), events.end(), "check updates"), events.end());

  actions.showTutorial();
  advance(0.05);
  ASSERT_TRUE(TutorialController::shared().isShowing());
  EXPECT_EQ(TutorialController::shared().model()->step.value(), TutorialStep::welcome);
}

TEST_F(MenuControllerTest, ThePreviewShowsSuccessAfterOnePointEightSecondsHoldingNothing) {
  Settings::shared().setPlayAnimation(true);
  ASSERT_TRUE(LockScreenOverlay::shared().available());
  controller->currentActions().previewAnimation();
  dropController();  // the delayed step holds nothing
  advance(0.35);
  const auto numbers = machine().windows->windowNumbers();
  ASSERT_EQ(numbers.size(), 1u) << "the scan is shown";
  auto* panel = dynamic_cast<OverlayWindow*>(machine().windows->panel(numbers.front()));
  auto model = std::dynamic_pointer_cast<UnlockAnimationView>(panel->contentView()->rootView())->model();
  EXPECT_EQ(model->tickProgress.value(), 0);
  advance(1.8 - 0.35 - 0.01);
  EXPECT_EQ(model->tickProgress.value(), 0);
  advance(1.0);
  EXPECT_GT(model->tickProgress.value(), 0) << "the success step ran after the controller went";
  EXPECT_TRUE(simulatedAlerts().shown().empty());
}

TEST_F(MenuControllerTest, OpeningAtLoginRegistersUnregistersAndShowsARefusal) {
  EXPECT_FALSE(controller->currentState().openAtLogin);
  controller->currentActions().toggleLoginItem();
  EXPECT_TRUE(controller->currentState().openAtLogin);
  controller->currentActions().toggleLoginItem();
  EXPECT_FALSE(controller->currentState().openAtLogin);
  EXPECT_EQ(simulatedLoginItems().requests(), (Strings{"register", "unregister"}));
  EXPECT_TRUE(simulatedAlerts().shown().empty());

  // A refused change keeps the switch and shows the platform's text.
  simulatedLoginItems().refuse("Operation not permitted");
  controller->toggleLoginItem();
  EXPECT_FALSE(controller->currentState().openAtLogin);
  ASSERT_EQ(simulatedAlerts().shown().size(), 1u);
  expectAlert(0, "Could not change the login setting", "Operation not permitted", {"OK"});
  EXPECT_EQ(activations(), Strings{"activate ignoringOtherApps=false"});
}

TEST_F(MenuControllerTest, OnlyAnEnabledServiceReadsAsOpenAtLogin) {
  simulatedLoginItems().setStatus(Status::requiresApproval);
  auto awaiting = std::make_shared<MenuBarController>();
  EXPECT_FALSE(awaiting->currentState().openAtLogin);
  awaiting->toggleLoginItem();
  EXPECT_EQ(simulatedLoginItems().requests(), Strings{"register"});

  simulatedLoginItems().setStatus(Status::enabled);
  auto enabled = std::make_shared<MenuBarController>();
  EXPECT_TRUE(enabled->currentState().openAtLogin);
  // Read once at creation: a later change of the service is not seen.
  simulatedLoginItems().setStatus(Status::notRegistered);
  EXPECT_TRUE(enabled->currentState().openAtLogin);
}

// The report is one alert with one button, after a plain activation. The camera gave no frame:
// the report shows the reset result.
TEST_F(MenuControllerTest, AMatchTestEndsInItsReport) {
  controller->currentActions().runTest();
  controller.reset();  // the running test keeps the controller for its report
  EXPECT_TRUE(simulatedAlerts().shown().empty()) << "nothing while the test runs";
  advance(UnlockCoordinator::testDuration + 1);
  runUntilIdle();
  ASSERT_EQ(simulatedAlerts().shown().size(), 1u);
  expectAlert(0, "No face was found. Check the camera is not covered or in use.",
              "Model: dlib (public domain)\nBest match score: 0.000   (needs below 0.5)\n"
              "Live-face score: 0.00   (needs above 0.55)\nFrames with a face: 0 of 0",
              {"OK"});
  EXPECT_EQ(activations(), Strings{"activate ignoringOtherApps=false"});
}

// "Quit Quorvel" ends the application: its run loop stops with status 0.
TEST_F(MenuControllerTest, QuitTerminatesTheApplication) {
  platform::dispatch::mainQueue().async([this] { controller->currentActions().quit(); });
  platform::dispatch::mainQueue().asyncAfter(5, [] { platform::dispatch::stopMainLoop(9); });
  EXPECT_EQ(simulatedApplication().run(), 0);
  EXPECT_EQ(simulatedApplication().terminateCount(), 1);
}

// --- the status item and its panel ------------------------------------------------------

class MenuPanelTest : public MenuBarTest {
 protected:
  void SetUp() override {
    MenuBarTest::SetUp();
    controller->install();
  }
  ui::StatusButton& button() { return *controller->statusItem()->button; }
  bool panelShown() { return controller->popover() && controller->popover()->isShown(); }
};

TEST_F(MenuPanelTest, InstallingMakesTheButtonWhoseIconShowsWhetherFaceUnlockCanRun) {
  ASSERT_EQ(simulatedStatusBar().items().size(), 1u);
  EXPECT_EQ(button().imagePosition, ui::ImagePosition::imageOnly);
  EXPECT_EQ(button().image, (ui::SymbolImage{"exclamationmark.triangle", "Quorvel", true}));
  EXPECT_EQ(simulatedStatusBar().monitorMasks(),
            std::vector<std::uint64_t>{ui::event_mask::leftMouseDown | ui::event_mask::rightMouseDown});
  EXPECT_FALSE(controller->popover());

  lockMachine().accessibility().setTrusted(true);
  enrol();
  ASSERT_TRUE(PasswordVault::set("login"));
  Settings::shared().setUnlockEnabled(false);
  controller->toggleEnabled();
  EXPECT_EQ(button().image, (ui::SymbolImage{"faceid", "Quorvel", true}));
  controller->toggleEnabled();
  EXPECT_EQ(button().image->symbolName, "exclamationmark.triangle");
  simulatedStatusBar().withoutSymbols(true);
  controller->refreshIcon();
  EXPECT_FALSE(button().image.has_value());
}

// What the tutorial sets up shows in the icon at its next step, not at the next restart.
TEST_F(MenuPanelTest, TheTutorialsStepsBringTheIconUpToDate) {
  lockMachine().accessibility().setTrusted(true);
  enrol();
  TutorialController::shared().present(TutorialStep::password);
  runUntilIdle();
  const auto model = TutorialController::shared().model();
  ASSERT_TRUE(model && model->step.value() == TutorialStep::password);
  EXPECT_EQ(button().image->symbolName, "exclamationmark.triangle");
  model->password = "login";
  model->savePassword();
  EXPECT_EQ(model->step.value(), TutorialStep::palm);
  EXPECT_EQ(button().image->symbolName, "faceid");
}

TEST_F(MenuPanelTest, TheButtonOpensAFreshPanelAndClosesIt) {
  button().performClick();
  ASSERT_TRUE(panelShown());
  auto first = controller->popover();
  EXPECT_EQ(first->behavior, ui::Popover::Behavior::transient);
  EXPECT_EQ(first->edge(), ui::RectEdge::minY);
  EXPECT_EQ(first->contentViewController, controller->hosting());
  EXPECT_EQ(first->windowCollectionBehavior,
            platform::windows::collection_behavior::stationary |
                platform::windows::collection_behavior::canJoinAllSpaces |
                platform::windows::collection_behavior::fullScreenAuxiliary);
  EXPECT_EQ(controller->panelView()->state().passwordTitle, "Save my login password\u2026");

  button().performClick();
  EXPECT_FALSE(controller->popover()) << "the close notification drops it";
  EXPECT_FALSE(first->contentViewController);

  // Changed while closed: the next opening reads it afresh, in a new popover.
  ASSERT_TRUE(PasswordVault::set("login"));
  auto hosting = controller->hosting();
  button().performClick();
  ASSERT_TRUE(panelShown());
  EXPECT_NE(controller->popover(), first);
  EXPECT_EQ(controller->hosting(), hosting) << "the hosting view is kept";
  EXPECT_EQ(controller->panelView()->state().passwordTitle, "Change my saved password\u2026");
  EXPECT_EQ(simulatedStatusBar().popovers().size(), 2u);
}

TEST_F(MenuPanelTest, AClickInAnotherApplicationClosesThePanelHoldingTheControllerWeakly) {
  button().performClick();
  simulatedStatusBar().clickInOtherApplication(ui::event_mask::rightMouseDown);
  EXPECT_FALSE(controller->popover());
  button().performClick();
  simulatedStatusBar().clickInOtherApplication(ui::event_mask::leftMouseDown);
  EXPECT_FALSE(controller->popover());
  // The panel's own close callback.
  button().performClick();
  controller->panelView()->actions().close();
  EXPECT_FALSE(controller->popover());
  // A click after the controller is gone does nothing.
  button().performClick();
  dropController();
  simulatedStatusBar().clickInOtherApplication(ui::event_mask::leftMouseDown);
}

TEST_F(MenuPanelTest, TheSwitchesFlipTheirSettingsAndReRenderTheOpenPanelInPlace) {
  button().performClick();
  // Install's refresh, and the opening's (the icon agrees with the panel's header).
  const int opened = controller->iconRefreshes();
  EXPECT_EQ(opened, 2);
  auto popover = controller->popover();
  auto before = controller->panelView();
  const bool animation = Settings::shared().playAnimation();
  before->actions().toggleAnimation();
  ASSERT_TRUE(panelShown());
  EXPECT_EQ(controller->popover(), popover);
  EXPECT_NE(controller->panelView(), before);
  EXPECT_EQ(Settings::shared().playAnimation(), !animation);
  EXPECT_EQ(controller->panelView()->state().playAnimation, !animation);
  EXPECT_EQ(controller->iconRefreshes(), opened) << "the animation's switch leaves the icon";

  const bool palm = Settings::shared().palmToCancel();
  controller->panelView()->actions().togglePalmToCancel();
  EXPECT_EQ(Settings::shared().palmToCancel(), !palm);
  EXPECT_EQ(controller->panelView()->state().palmToCancel, !palm);
  controller->panelView()->actions().toggleAuthorizationAssist();
  EXPECT_FALSE(controller->panelView()->state().authorizationAssist) << "switched off in this build";
  EXPECT_EQ(controller->iconRefreshes(), opened);

  controller->panelView()->actions().toggleUnlock();
  EXPECT_EQ(controller->panelView()->state().unlockEnabled, Settings::shared().unlockEnabled());
  EXPECT_EQ(controller->iconRefreshes(), opened + 1);

  auto beforeLogin = controller->panelView();
  controller->panelView()->actions().toggleLoginItem();
  EXPECT_NE(controller->panelView(), beforeLogin);
  EXPECT_TRUE(controller->panelView()->state().openAtLogin);

  // A refused change does not re-render.
  simulatedLoginItems().refuse("no");
  auto beforeRefusal = controller->panelView();
  controller->panelView()->actions().toggleLoginItem();
  EXPECT_EQ(controller->panelView(), beforeRefusal);
  EXPECT_EQ(controller->popover(), popover);
}

// The Dock policy is applied by the application's delegate (see the entry tests); a
// controller made without one only flips the setting.
TEST_F(MenuPanelTest, TheDockSwitchFlipsTheSettingAndReopensAnOpenPanelOnTheNextTurn) {
  button().performClick();
  auto first = controller->popover();
  const bool before = Settings::shared().showInDock();
  const bool shown = simulatedApplication().showsDockIcon();
  controller->panelView()->actions().toggleDockIcon();
  EXPECT_EQ(Settings::shared().showInDock(), !before);
  EXPECT_EQ(simulatedApplication().showsDockIcon(), shown);
  EXPECT_EQ(controller->popover(), first) << "not before the next turn";
  runUntilIdle();
  ASSERT_TRUE(panelShown());
  EXPECT_NE(controller->popover(), first);
  EXPECT_FALSE(first->isShown());
  EXPECT_EQ(controller->panelView()->state().showInDock, !before);

  // Closed: the switch does not open it.
  button().performClick();
  controller->toggleDockIcon();
  runUntilIdle();
  EXPECT_FALSE(controller->popover());
}

TEST_F(MenuPanelTest, WithoutAStatusButtonThePanelNeverOpens) {
  simulatedStatusBar().withoutButtons(true);
  auto other = std::make_shared<MenuBarController>();
  other->install();
  other->togglePanel();
  EXPECT_FALSE(other->popover());
  EXPECT_FALSE(other->hosting());
}

}  // namespace
}  // namespace quorvel::testing
