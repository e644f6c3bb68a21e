// The simulated application object and update framework that every test starts with.
#pragma once

#include "platform/ui/simulated_application.hpp"
#include "platform/updater/simulated_updater.hpp"

namespace quorvel::testing {

platform::ui::SimulatedApplication& simulatedApplication();
platform::updater::SimulatedUpdateFramework& simulatedUpdater();

}  // namespace quorvel::testing
