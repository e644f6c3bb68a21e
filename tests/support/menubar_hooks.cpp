#include "support/menubar_hooks.hpp"

#include <memory>

#include "support/platform_fixture.hpp"

namespace quorvel::testing {
namespace {

std::shared_ptr<platform::ui::SimulatedAlerts> alerts;
std::shared_ptr<platform::localauth::SimulatedLocalAuthentication> localAuth;

FixtureHook hook(
    [] {
      alerts = std::make_shared<platform::ui::SimulatedAlerts>();
      platform::ui::installAlerts(alerts);
      localAuth = std::make_shared<platform::localauth::SimulatedLocalAuthentication>();
      platform::localauth::install(localAuth);
    },
    [] {
      platform::ui::installAlerts(nullptr);
      platform::localauth::install(nullptr);
      alerts.reset();
      localAuth.reset();
    });

}  // namespace

platform::ui::SimulatedAlerts& simulatedAlerts() { return *alerts; }
platform::localauth::SimulatedLocalAuthentication& simulatedLocalAuth() { return *localAuth; }

}  // namespace quorvel::testing
