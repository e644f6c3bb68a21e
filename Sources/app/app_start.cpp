#include "app/app_start.hpp"

#include <memory>

#include "app/app_delegate.hpp"
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
}  // namespace

int startApplication() {
  const auto app = platform::ui::shared();
  delegateSlot() = std::make_unique<AppDelegate>();
  AppDelegate* delegate = delegateSlot().get();
  // The launch sequence runs as the run loop's first work, as the application object
  // delivers its did-finish-launching notification.
  platform::dispatch::mainQueue().async([delegate] { delegate->applicationDidFinishLaunching(); });
  return app->run();
}

AppDelegate* applicationDelegate() { return delegateSlot().get(); }

}  // namespace quorvel
