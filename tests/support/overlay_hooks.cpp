// Installs a fresh simulated machine (screens, windows, SkyLight, window list, reduce
// motion) for every test.
#include "support/platform_fixture.hpp"
#include "support/simulated_display.hpp"

namespace {
quorvel::testing::FixtureHook overlayMachineHook(
    [] { quorvel::testing::installSimulatedMachine(); },
    [] { quorvel::testing::uninstallSimulatedMachine(); });
}  // namespace


// Under the leak sanitizer: fontconfig keeps caches for the life of the process that the
// sanitizer reports as leaks once text has been drawn (the notch panel's message line).
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
