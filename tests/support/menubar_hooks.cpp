#include "support/menubar_hooks.hpp"

#include <memory>

#include "support/platform_fixture.hpp"

namespace quorvel::testing {
namespace {

std::shared_ptr<platform::ui::SimulatedAlerts> alerts;
std::shared_ptr<platform::ui::SimulatedStatusBar> statusBar;
std::shared_ptr<platform::localauth::SimulatedLocalAuthentication> localAuth;
std::shared_ptr<platform::loginitems::SimulatedLoginItems> loginItems;

FixtureHook hook(
    [] {
      alerts = std::make_shared<platform::ui::SimulatedAlerts>();
      platform::ui::installAlerts(alerts);
      statusBar = std::make_shared<platform::ui::SimulatedStatusBar>();
      platform::ui::installStatusBar(statusBar);
      localAuth = std::make_shared<platform::localauth::SimulatedLocalAuthentication>();
      platform::localauth::install(localAuth);
      loginItems = std::make_shared<platform::loginitems::SimulatedLoginItems>();
      platform::loginitems::install(loginItems);
    },
    [] {
      platform::ui::installAlerts(nullptr);
      platform::ui::installStatusBar(nullptr);
      statusBar.reset();
      platform::localauth::install(nullptr);
      platform::loginitems::install(nullptr);
      loginItems.reset();
      alerts.reset();
      localAuth.reset();
    });

}  // namespace

platform::ui::SimulatedAlerts& simulatedAlerts() { return *alerts; }
platform::ui::SimulatedStatusBar& simulatedStatusBar() { return *statusBar; }
platform::localauth::SimulatedLocalAuthentication& simulatedLocalAuth() { return *localAuth; }
platform::loginitems::SimulatedLoginItems& simulatedLoginItems() { return *loginItems; }

}  // namespace quorvel::testing
