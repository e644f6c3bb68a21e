#include "support/menubar_hooks.hpp"

#include "support/platform_fixture.hpp"

namespace quorvel::testing {
namespace {

FreshPart<platform::ui::SimulatedAlerts, &platform::ui::installAlerts> alerts;
FreshPart<platform::ui::SimulatedStatusBar, &platform::ui::installStatusBar> statusBar;
FreshPart<platform::localauth::SimulatedLocalAuthentication, &platform::localauth::install>
    localAuth;
FreshPart<platform::loginitems::SimulatedLoginItems, &platform::loginitems::install> loginItems;

}  // namespace

platform::ui::SimulatedAlerts& simulatedAlerts() { return *alerts; }
platform::ui::SimulatedStatusBar& simulatedStatusBar() { return *statusBar; }
platform::localauth::SimulatedLocalAuthentication& simulatedLocalAuth() { return *localAuth; }
platform::loginitems::SimulatedLoginItems& simulatedLoginItems() { return *loginItems; }

}  // namespace quorvel::testing
