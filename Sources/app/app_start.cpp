#include "app/app_start.hpp"

#include <memory>

#include "app/app_delegate.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "platform/ui/application.hpp"

namespace quorvel {
namespace {
std::unique_ptr<AppDelegate>& delegateSlot() {
  static std::unique_ptr<AppDelegate> delegate;
  return delegate;
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
