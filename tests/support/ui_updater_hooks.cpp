#include "support/ui_updater_hooks.hpp"

#include "support/platform_fixture.hpp"

namespace quorvel::testing {
namespace {

FreshPart<platform::ui::SimulatedApplication, &platform::ui::install> application;
FreshPart<platform::updater::SimulatedUpdateFramework, &platform::updater::install> updater;

}  // namespace

platform::ui::SimulatedApplication& simulatedApplication() { return *application; }
platform::updater::SimulatedUpdateFramework& simulatedUpdater() { return *updater; }

}  // namespace quorvel::testing
