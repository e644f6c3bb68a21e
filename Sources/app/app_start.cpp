#include "app/app_start.hpp"

#include <memory>

#include "app/app_delegate.hpp"
#include "foundation/log.hpp"
#include "onboarding/tutorial_controller.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "platform/ui/application.hpp"

namespace quorvel {
namespace {
// The delegate, and the menu-bar item it owns, live until the process ends: never destroyed,
// so nothing they hold (the tray icon, the panel's window) is torn down after the services
// and the window system it needs have gone at exit.
std::unique_ptr<AppDelegate>& delegateSlot() {
  static auto* delegate = new std::unique_ptr<AppDelegate>();
  return *delegate;
}

// A later start of the application handed over to this one: it shows itself as a reopened
// application does. Without a tray there is no panel to open, so the tutorial comes instead.
void reopen() {
  AppDelegate* delegate = applicationDelegate();
  if (!delegate) return;
  if (delegate->mainMenu().empty()) {
    // Asked before the launch sequence ran: after it, then.
    platform::dispatch::mainQueue().async(reopen);
    return;
  }
  Log::app().info("Another start of Quorvel handed over to this one");
  const auto app = platform::ui::shared();
  const bool visible = app->hasVisibleWindows();
  app->activate(true);
  const auto& item = delegate->menuBar()->statusItem();
  if (!visible && !(item && item->button)) {
    TutorialController::shared().present(TutorialStep::welcome);
    return;
  }
  delegate->applicationShouldHandleReopen(visible);
}
}  // namespace

int startApplication() {
  const auto app = platform::ui::shared();
  // The application runs once in the user's session: a later start hands over and ends.
  if (app->claimInstance(reopen) == platform::ui::InstanceClaim::handedOver) {
    Log::app().log("Quorvel is already running; it was asked to show itself");
    return 0;
  }
  delegateSlot() = std::make_unique<AppDelegate>();
  AppDelegate* delegate = delegateSlot().get();
  // The launch sequence runs as the run loop's first work, as the application object
  // delivers its did-finish-launching notification.
  platform::dispatch::mainQueue().async([delegate] { delegate->applicationDidFinishLaunching(); });
  return app->run();
}

AppDelegate* applicationDelegate() { return delegateSlot().get(); }

}  // namespace quorvel
