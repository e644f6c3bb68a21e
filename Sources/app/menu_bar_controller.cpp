#include "app/menu_bar_controller.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

#include "app/app_delegate.hpp"
#include "app/app_start.hpp"
#include "app/app_updater.hpp"
#include "app/diagnostics_text.hpp"
#include "foundation/faceprint_store.hpp"
#include "foundation/password_vault.hpp"
#include "foundation/quorvel_password.hpp"
#include "foundation/settings.hpp"
#include "onboarding/tutorial_controller.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "platform/localauth/local_auth.hpp"
#include "platform/loginitems/login_items.hpp"
#include "platform/ui/alert.hpp"
#include "platform/ui/application.hpp"
#include "foundation/build_flavour.hpp"
#include "overlay/lock_screen_overlay.hpp"
#include "recognition/match_engine.hpp"
#include "unlock/authorization_assist.hpp"
#include "unlock/unlocker.hpp"

namespace quorvel {

namespace {

using platform::ui::Alert;
using platform::ui::AlertAnswer;
using platform::ui::AlertResponse;

// How the application is brought to the front before an alert runs.
enum class Front { aheadOfOthers, plain, none };

AlertAnswer runAlert(Alert alert, Front front) {
  if (front != Front::none) platform::ui::shared()->activate(front == Front::aheadOfOthers);
  return platform::ui::alerts()->runModal(alert);
}

Alert secretAlert(std::string message, std::string informative, std::vector<std::string> buttons) {
  Alert alert{std::move(message), std::move(informative), std::move(buttons), std::nullopt};
  alert.secureField = platform::ui::SecureFieldAccessory{};
  return alert;
}

void showNotice(std::string message, std::string informative, Front front) {
  runAlert(Alert{std::move(message), std::move(informative), {"OK"}, std::nullopt}, front);
}

}  // namespace

std::string MenuBarController::scoreText(double value) {
  if (!std::isfinite(value) || std::fabs(value) >= 1000) return "\u2014";
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", value);
  return text;
}

MenuBarController::MatchTestReport MenuBarController::matchTestReport(
    const UnlockCoordinator::TestResult& result, RecognitionEngine engine,
    const FaceEngineSpec& spec, bool enrolled) {
  MatchTestReport out;
  if (result.framesWithFace == 0) {
    out.verdict = "No face was found. Check the camera is not covered or in use.";
  } else if (!enrolled) {
    out.verdict =
        "There is no face set up for this model yet. Choose \"Set up my face\" first, then run "
        "this again.";
  } else if (result.wouldUnlock) {
    out.verdict = "This would have unlocked your Mac.";
  } else if (result.bestLiveness < MatchEngine::livenessFloor) {
    out.verdict = "Your face was recognised but did not look live enough. Try better lighting.";
  } else {
    out.verdict = "Not a strong enough match. If this keeps happening, set up your face again.";
  }
  char liveness[32];
  std::snprintf(liveness, sizeof liveness, "%.2f", static_cast<double>(result.bestLiveness));
  out.report = "Model: " + displayName(engine) + "\nBest match score: " +
               scoreText(result.bestSimilarity) + "   (needs " +
               (spec.higherIsBetter ? "above" : "below") + " " +
               diagnostics::description(spec.baseThreshold) + ")\nLive-face score: " + liveness +
               "   (needs above " + diagnostics::description(MatchEngine::livenessFloor) +
               ")\nFrames with a face: " + std::to_string(result.framesWithFace) + " of " +
               std::to_string(result.framesSeen);
  return out;
}

MenuBarController::GuardedAction MenuBarController::guarded(void (MenuBarController::*member)()) {
  return [weak = weak_from_this(), member] {
    if (auto self = weak.lock()) ((*self).*member)();
  };
}

MenuBarController::MenuBarController()
    : loginItemEnabled_(platform::loginitems::mainApp()->status() ==
                        platform::loginitems::Status::enabled) {}

void MenuBarController::refreshIcon() {
  ++iconRefreshes_;
  if (!statusItem_ || !statusItem_->button) return;
  const char* symbol = UnlockCoordinator::shared().blocker() ? "exclamationmark.triangle" : "faceid";
  auto image = platform::ui::statusBar()->systemSymbol(symbol, "Quorvel");
  if (image) image->isTemplate = true;
  statusItem_->button->setImage(image);
}

void MenuBarController::install() {
  auto bar = platform::ui::statusBar();
  statusItem_ = bar->makeStatusItem();
  if (auto button = statusItem_->button) {
    button->imagePosition = platform::ui::ImagePosition::imageOnly;
    button->action = guarded(&MenuBarController::togglePanel);
  }
  refreshIcon();
  // The tutorial sets up what the icon shows: each of its steps may have changed it.
  TutorialController::shared().onStepChange = [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->refreshIcon();
  };
  bar->addGlobalMouseMonitor(
      platform::ui::event_mask::leftMouseDown | platform::ui::event_mask::rightMouseDown,
      [weak = weak_from_this()] {
        auto self = weak.lock();
        if (self && self->popover_) self->popover_->performClose();
      });
}

void MenuBarController::togglePanel() {
  if (popover_ && popover_->isShown()) {
    popover_->performClose();
  } else {
    openPanel();
  }
}

std::shared_ptr<MenuPanelView> MenuBarController::makePanel() {
  return std::make_shared<MenuPanelView>(currentState(), currentActions());
}

std::shared_ptr<MenuPanelView> MenuBarController::panelView() const {
  return hosting_ ? std::dynamic_pointer_cast<MenuPanelView>(hosting_->rootView()) : nullptr;
}

void MenuBarController::openPanel() {
  if (!statusItem_ || !statusItem_->button) return;
  auto button = statusItem_->button;
  // The icon agrees with the panel's header, whatever changed readiness meanwhile.
  refreshIcon();
  if (!hosting_) hosting_ = std::make_shared<platform::windows::HostingView>(makePanel());
  if (auto old = popover_) {
    old->performClose();
    old->contentViewController = nullptr;
    popover_ = nullptr;
  }
  hosting_->setRootView(makePanel());
  auto popover = platform::ui::statusBar()->makePopover();
  popover->behavior = platform::ui::Popover::Behavior::transient;
  popover->didClose = [weak = weak_from_this()](platform::ui::Popover& closed) {
    if (auto self = weak.lock()) {
      self->popoverDidClose(closed);
    } else {
      closed.contentViewController = nullptr;
    }
  };
  popover->contentViewController = hosting_;
  popover_ = popover;
  popover->show(button->bounds, platform::ui::RectEdge::minY);
  popover->windowCollectionBehavior |= platform::windows::collection_behavior::canJoinAllSpaces |
                                       platform::windows::collection_behavior::fullScreenAuxiliary;
}

void MenuBarController::popoverDidClose(platform::ui::Popover& popover) {
  popover.contentViewController = nullptr;
  if (popover_.get() == &popover) popover_ = nullptr;
}

void MenuBarController::rerender() {
  if (hosting_) hosting_->setRootView(makePanel());
}

void MenuBarController::toggleDockIcon() {
  const bool wasShown = popover_ && popover_->isShown();
  Settings::shared().setShowInDock(!Settings::shared().showInDock());
  // Applied by the application's delegate, when it is the one of this application.
  if (AppDelegate* delegate = applicationDelegate()) delegate->applyDockVisibility();
  if (wasShown) {
    // Reopened on the next turn of the main loop, showing the new state.
    platform::dispatch::mainQueue().async([weak = weak_from_this()] {
      if (auto self = weak.lock()) self->openPanel();
    });
  }
}

void MenuBarController::toggleLoginItem() {
  auto service = platform::loginitems::mainApp();
  const auto error = loginItemEnabled_ ? service->unregisterApp() : service->registerApp();
  if (error) {
    showNotice("Could not change the login setting", error->localizedDescription, Front::plain);
    return;
  }
  loginItemEnabled_ = !loginItemEnabled_;
  rerender();
}

void MenuBarController::checkForUpdates() { AppUpdater::controller().checkForUpdates(nullptr); }

MenuPanelState MenuBarController::currentState() const {
  MenuPanelState state;
  auto& settings = Settings::shared();
  const auto blocker = UnlockCoordinator::shared().blocker();
  state.statusText = blocker.value_or(readyText);
  state.statusIsWarning = blocker.has_value();
  state.unlockEnabled = settings.unlockEnabled();
  const RecognitionEngine engine = settings.recognitionEngine();
  state.enrolTitle = FaceprintStore::shared().isEnrolled(engine) ? "Set up my face again\u2026"
                                                                  : "Set up my face\u2026";
  const bool saved = PasswordVault::hasPassword();
  state.passwordTitle = saved ? "Change my saved password\u2026" : "Save my login password\u2026";
  if (saved) {
    state.quorvelPasswordTitle = QuorvelPassword::isSet()
                                     ? "Change Quorvel password\u2026"
                                     : "Protect these with a Quorvel password\u2026";
  }
  state.accessibilityWarning = !Unlocker::hasAccessibility();
  state.playAnimation = settings.playAnimation();
  state.palmToCancel = settings.palmToCancel();
  state.authorizationAssist = AuthorizationAssist::enabled();
  state.authorizationAssistAvailable = AuthorizationAssist::available();
  state.authorizationAssistStatus = AuthorizationAssist::shared().status();
  state.showInDock = settings.showInDock();
  state.openAtLogin = loginItemEnabled_;
  state.isDeveloper = BuildFlavour::isDeveloper;
  if (state.isDeveloper) {
    for (RecognitionEngine each : recognition_engine::selectable()) {
      state.engines.push_back({displayName(each), each == engine, true});
    }
  }
  return state;
}

MenuPanelActions MenuBarController::currentActions() {
  MenuPanelActions actions;
  actions.toggleUnlock = guarded(&MenuBarController::toggleEnabled);
  actions.showEnrolment = guarded(&MenuBarController::showEnrolment);
  actions.showTutorial = guarded(&MenuBarController::showTutorial);
  actions.setPassword = guarded(&MenuBarController::setPassword);
  actions.setQuorvelPassword = guarded(&MenuBarController::setQuorvelPassword);
  actions.grantAccessibility = guarded(&MenuBarController::grantAccessibility);
  actions.toggleAnimation = guarded(&MenuBarController::toggleAnimation);
  actions.toggleDockIcon = guarded(&MenuBarController::toggleDockIcon);
  actions.toggleLoginItem = guarded(&MenuBarController::toggleLoginItem);
  actions.checkForUpdates = guarded(&MenuBarController::checkForUpdates);
  actions.togglePalmToCancel = guarded(&MenuBarController::togglePalmToCancel);
  // The assist flips even when the controller is gone; only the re-render needs it.
  actions.toggleAuthorizationAssist = [weak = weak_from_this()] {
    AuthorizationAssist::setEnabled(!AuthorizationAssist::enabled());
    if (!AuthorizationAssist::enabled()) AuthorizationAssist::shared().cancel();
    if (auto self = weak.lock()) self->rerender();
  };
  actions.close = [weak = weak_from_this()] {
    auto self = weak.lock();
    if (self && self->popover_) self->popover_->performClose();
  };
  actions.chooseEngine = [weak = weak_from_this()](const std::string& name) {
    if (auto self = weak.lock()) self->chooseEngineNamed(name);
  };
  actions.forgetFace = guarded(&MenuBarController::forgetFace);
  actions.runTest = guarded(&MenuBarController::runTest);
  actions.previewAnimation = guarded(&MenuBarController::previewAnimation);
  actions.quit = guarded(&MenuBarController::quit);
  return actions;
}

void MenuBarController::quit() { platform::ui::shared()->terminate(); }

void MenuBarController::toggleEnabled() {
  Settings::shared().setUnlockEnabled(!Settings::shared().unlockEnabled());
  refreshIcon();
  rerender();
}

void MenuBarController::toggleAnimation() {
  Settings::shared().setPlayAnimation(!Settings::shared().playAnimation());
  rerender();
}

void MenuBarController::togglePalmToCancel() {
  Settings::shared().setPalmToCancel(!Settings::shared().palmToCancel());
  rerender();
}

void MenuBarController::toggleAuthorizationAssist() {
  AuthorizationAssist::setEnabled(!AuthorizationAssist::enabled());
  if (!AuthorizationAssist::enabled()) AuthorizationAssist::shared().cancel();
  rerender();
}

void MenuBarController::showTutorial() { TutorialController::shared().present(TutorialStep::welcome); }

void MenuBarController::grantAccessibility() {
  Unlocker::requestAccessibility();
  showNotice("Turn on Accessibility for Quorvel",
             "System Settings should now be open at Privacy & Security \u2192 Accessibility. "
             "Switch Quorvel on there, then come back to this menu.",
             Front::plain);
}

void MenuBarController::previewAnimation() {
  if (!LockScreenOverlay::shared().available()) {
    showNotice("The animation is not available",
               "macOS would not let Quorvel draw above the lock screen. Unlocking still works "
               "\u2014 you just will not see the animation.",
               Front::plain);
    return;
  }
  LockScreenOverlay::shared().beginScanning();
  // Captures nothing: the overlay decides what, if anything, it draws.
  platform::dispatch::mainQueue().asyncAfter(previewSuccessDelay,
                                             [] { LockScreenOverlay::shared().showSuccess(); });
}

void MenuBarController::chooseEngineNamed(const std::string& name) {
  for (RecognitionEngine engine : recognition_engine::selectable()) {
    if (displayName(engine) == name) {
      chooseEngine(rawValue(engine));
      return;
    }
  }
}

void MenuBarController::showEnrolment() {
  GuardedAction present = [weak = weak_from_this()] {
    if (weak.lock()) TutorialController::shared().present(TutorialStep::face);
  };
  if (FaceprintStore::shared().isEnrolled(Settings::shared().recognitionEngine())) {
    requireQuorvelPassword(std::move(present));
  } else {
    present();
  }
}

void MenuBarController::setPassword() {
  if (PasswordVault::hasPassword()) {
    requireQuorvelPassword(guarded(&MenuBarController::presentPasswordDialog));
  } else {
    presentPasswordDialog();
  }
}

void MenuBarController::setQuorvelPassword() {
  GuardedAction prompt = [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->promptNewQuorvelPassword(nullptr);
  };
  if (QuorvelPassword::isSet()) {
    requireQuorvelPassword(std::move(prompt));
  } else {
    prompt();
  }
}

void MenuBarController::forgetFace() {
  requireQuorvelPassword(guarded(&MenuBarController::confirmForgetFace));
}

void MenuBarController::requireQuorvelPassword(GuardedAction action) {
  if (!QuorvelPassword::isSet()) {
    if (action) action();
    return;
  }
  AlertAnswer answer = runAlert(
      secretAlert("Confirm the Quorvel password",
                  "Set so someone who already has your Mac unlocked cannot quietly re-enrol "
                  "their own face or swap your saved password.",
                  {"Continue", "Forgotten it?", "Cancel"}),
      Front::aheadOfOthers);
  switch (answer.response) {
    case AlertResponse::firstButton:
      if (QuorvelPassword::verify(answer.text)) {
        if (action) action();
      } else {
        showNotice("That wasn't right", "The Quorvel password did not match.", Front::plain);
      }
      break;
    case AlertResponse::secondButton:
      recoverWithDeviceAuth(std::move(action));
      break;
    case AlertResponse::thirdButton:
      break;
  }
}

void MenuBarController::recoverWithDeviceAuth(GuardedAction action) {
  auto context = platform::localauth::makeContext();
  if (!context->canEvaluateDeviceOwnerAuthentication()) return;
  context->evaluateDeviceOwnerAuthentication(
      recoveryReason, [weak = weak_from_this(), action = std::move(action), context](
                          bool success, std::optional<platform::localauth::AuthError>) mutable {
        platform::dispatch::mainQueue().async(
            [weak = std::move(weak), action = std::move(action), success] {
              auto self = weak.lock();
              if (!self || !success) return;
              self->promptNewQuorvelPassword(action);
            });
      });
}

void MenuBarController::promptNewQuorvelPassword(GuardedAction then) {
  const char* message =
      QuorvelPassword::isSet() ? "Set a new Quorvel password" : "Set a Quorvel password";
  AlertAnswer answer = runAlert(
      secretAlert(message,
                  "Needed to change your saved password or re-do face setup later. Not your "
                  "Mac's login password \u2014 this one is just for Quorvel.",
                  {"Set", "Cancel"}),
      Front::aheadOfOthers);
  if (answer.response != AlertResponse::firstButton || answer.text.empty()) return;
  // A refused Keychain write leaves the old password (or none) in place; the action behind
  // the prompt still runs, as the user has just proved who they are.
  QuorvelPassword::set(answer.text);
  refreshIcon();
  if (then) then();
}

void MenuBarController::presentPasswordDialog() {
  AlertAnswer answer = runAlert(
      secretAlert("Save your login password",
                  "Quorvel types this for you when it recognises your face. It is encrypted and "
                  "kept in your Keychain.",
                  {"Save", "Cancel"}),
      Front::none);
  if (answer.response != AlertResponse::firstButton || answer.text.empty()) return;
  if (!PasswordVault::set(answer.text)) {
    showNotice("Could not save the password", "The Keychain refused to store it.", Front::plain);
    return;
  }
  refreshIcon();
}

void MenuBarController::confirmForgetFace() {
  AlertAnswer answer = runAlert(
      Alert{"Forget your face and password?",
            "Quorvel will stop unlocking your Mac until you set it up again. Your Mac's own "
            "password is not affected.",
            {"Forget", "Cancel"},
            std::nullopt},
      Front::none);
  if (answer.response != AlertResponse::firstButton) return;
  FaceprintStore::shared().removeAll();
  PasswordVault::clear();
  refreshIcon();
}

void MenuBarController::chooseEngine(const std::string& rawValue) {
  auto engine = recognition_engine::fromRawValue(rawValue);
  if (!engine) return;
  // An engine this build cannot select would be stored but never read back (the setting
  // falls back to dlib), so the switch and its alerts would claim a change that never
  // happens; it counts as unknown.
  const auto allowed = recognition_engine::selectable();
  if (std::find(allowed.begin(), allowed.end(), *engine) == allowed.end()) return;
  if (*engine == Settings::shared().recognitionEngine()) return;
  if (!sellable(*engine)) {
    AlertAnswer answer = runAlert(
        Alert{"Switch to the personal-use model?",
              "This model is licensed for non-commercial research only. It is fine for your own "
              "Mac, but Quorvel could not be sold with it.\n\nYour face needs setting up again "
              "for this model, because the two describe faces differently. Your existing setup "
              "is kept and comes back if you switch again.",
              {"Switch", "Cancel"},
              std::nullopt},
        Front::aheadOfOthers);
    if (answer.response != AlertResponse::firstButton) return;
  }
  Settings::shared().setRecognitionEngine(*engine);
  refreshIcon();
  if (FaceprintStore::shared().isEnrolled(*engine)) return;
  showNotice("Set your face up for this model",
             "The two models describe faces differently, so they cannot share a setup. Choose "
             "\"Set up my face\" to enrol for " +
                 displayName(*engine) + ".",
             Front::plain);
}

void MenuBarController::runTest() {
  const RecognitionEngine engine = Settings::shared().recognitionEngine();
  const FaceEngineSpec& engineSpec = spec(engine);
  const bool enrolled = FaceprintStore::shared().isEnrolled(engine);
  // The completion keeps the controller: the report shows even if it is let go meanwhile.
  UnlockCoordinator::shared().runTest(
      [self = shared_from_this(), engine, engineSpec, enrolled](UnlockCoordinator::TestResult result) {
        self->showMatchTestReport(result, engine, engineSpec, enrolled);
      });
}

void MenuBarController::showMatchTestReport(const UnlockCoordinator::TestResult& result,
                                            RecognitionEngine engine, const FaceEngineSpec& spec,
                                            bool enrolled) {
  MatchTestReport text = matchTestReport(result, engine, spec, enrolled);
  showNotice(text.verdict, text.report, Front::plain);
}

}  // namespace quorvel
