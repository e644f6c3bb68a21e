#include "app/app_delegate.hpp"

#include "app/app_updater.hpp"
#include "app/dock_visibility.hpp"
#include "foundation/log.hpp"
#include "onboarding/tutorial_controller.hpp"
#include "overlay/lock_screen_overlay.hpp"
#include "recognition/face_models.hpp"
#include "unlock/authorization_assist.hpp"
#include "unlock/lock_monitor.hpp"
#include "unlock/unlock_coordinator.hpp"

namespace quorvel {

std::vector<MainMenuSection> buildMainMenu() {
  return {
      {"",
       {{"About Quorvel", "orderFrontStandardAboutPanel:", ""},
        {"", "", ""},
        {"Quit Quorvel", "terminate:", "q"}}},
      {"Edit",
       {{"Undo", "undo:", "z"},
        {"Redo", "redo:", "Z"},
        {"", "", ""},
        {"Cut", "cut:", "x"},
        {"Copy", "copy:", "c"},
        {"Paste", "paste:", "v"},
        {"Select All", "selectAll:", "a"}}},
  };
}

AppDelegate::AppDelegate() : menuBar_(std::make_shared<MenuBarController>()) {}

void AppDelegate::applicationDidFinishLaunching() {
  mainMenu_ = buildMainMenu();
  AppUpdater::controller();
  applyDockVisibility();
  menuBar_->install();
  TutorialController::shared().presentIfFirstRun();
  FaceModels::shared().prewarm();
  // The weights have just loaded (or failed to): the icon shows which.
  menuBar_->refreshIcon();
  AuthorizationAssist::shared().start();
  LockScreenOverlay::shared().prepare();

  auto& monitor = LockMonitor::shared();
  monitor.onLock = [] {
    AuthorizationAssist::shared().cancel();
    UnlockCoordinator::shared().screenDidLock();
  };
  monitor.onSleep = [] {
    AuthorizationAssist::shared().cancel();
    UnlockCoordinator::shared().screenDidSleep();
  };
  monitor.onUnlock = [] { UnlockCoordinator::shared().screenDidUnlock(); };
  // A wake that finds the session locked is a fresh lock.
  monitor.onWake = [] { UnlockCoordinator::shared().screenDidLock(); };
  monitor.start();

  Log::app().info("Quorvel started (overlay available: %{bool}d)",
                  LockScreenOverlay::shared().available());
}

bool AppDelegate::applicationShouldHandleReopen(bool hasVisibleWindows) {
  if (!hasVisibleWindows) menuBar_->togglePanel();
  return true;
}

void AppDelegate::applyDockVisibility() { quorvel::applyDockVisibility(); }

}  // namespace quorvel
