// The simulated alerts and device-owner authentication installed in every test.
#pragma once

#include "platform/localauth/simulated_local_auth.hpp"
#include "platform/loginitems/simulated_login_items.hpp"
#include "platform/ui/simulated_alert.hpp"
#include "platform/ui/simulated_status_bar.hpp"

namespace quorvel::testing {

platform::ui::SimulatedAlerts& simulatedAlerts();
platform::ui::SimulatedStatusBar& simulatedStatusBar();
platform::localauth::SimulatedLocalAuthentication& simulatedLocalAuth();
platform::loginitems::SimulatedLoginItems& simulatedLoginItems();

}  // namespace quorvel::testing
