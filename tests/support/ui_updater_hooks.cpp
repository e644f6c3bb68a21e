#include "support/ui_updater_hooks.hpp"

#include <memory>

#include "support/platform_fixture.hpp"

namespace quorvel::testing {
namespace {

std::shared_ptr<platform::ui::SimulatedApplication> application;
std::shared_ptr<platform::updater::SimulatedUpdateFramework> updater;

FixtureHook hook(
    [] {
      application = std::make_shared<platform::ui::SimulatedApplication>();
      platform::ui::install(application);
      updater = std::make_shared<platform::updater::SimulatedUpdateFramework>();
      platform::updater::install(updater);
    },
    [] {
      platform::ui::install(nullptr);
      platform::updater::install(nullptr);
      application.reset();
      updater.reset();
    });

}  // namespace

platform::ui::SimulatedApplication& simulatedApplication() { return *application; }
platform::updater::SimulatedUpdateFramework& simulatedUpdater() { return *updater; }

}  // namespace quorvel::testing
