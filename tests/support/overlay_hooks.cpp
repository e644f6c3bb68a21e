// Installs a fresh simulated machine (screens, windows, SkyLight, window list, reduce
// motion) for every test.
#include "support/platform_fixture.hpp"
#include "support/simulated_screens.hpp"

namespace {
quorvel::testing::FixtureHook overlayMachineHook(
    [] { quorvel::testing::installSimulatedMachine(); },
    [] { quorvel::testing::uninstallSimulatedMachine(); });
}  // namespace

