// The simulated parts made fresh for every fixture-based test, and their accessors (declared
// in the headers included here): alerts, status bar, device-owner authentication, login
// items, authorization services, keychain, file system, address opener, application object,
// update framework, user names, the lock machine and the display machine (screens, windows,
// SkyLight, window list, reduce motion).
#include <memory>

#include "support/menubar_hooks.hpp"
#include "support/platform_fixture.hpp"
#include "support/simulated_authorization.hpp"
#include "support/simulated_display.hpp"
#include "support/simulated_lock_machine.hpp"
#include "support/simulated_security_agent.hpp"
#include "support/storage_hooks.hpp"
#include "support/tutorial_hooks.hpp"
#include "support/ui_updater_hooks.hpp"

namespace quorvel::testing {
namespace {

FreshPart<platform::ui::SimulatedAlerts, &platform::ui::installAlerts> alerts;
FreshPart<platform::ui::SimulatedStatusBar, &platform::ui::installStatusBar> statusBar;
FreshPart<platform::localauth::SimulatedLocalAuthentication, &platform::localauth::install>
    localAuth;
FreshPart<platform::loginitems::SimulatedLoginItems, &platform::loginitems::install> loginItems;
FreshPart<platform::authorization::SimulatedAuthorization, &platform::authorization::install>
    authorization;
FreshPart<platform::keychain::SimulatedKeychain, &platform::keychain::install> keychain;
FreshPart<platform::files::SimulatedFileSystem, &platform::files::install> files;
FreshPart<platform::workspace::SimulatedURLOpener, &platform::workspace::installURLOpener> opener;
FreshPart<platform::ui::SimulatedApplication, &platform::ui::install> application;
FreshPart<platform::updater::SimulatedUpdateFramework, &platform::updater::install> updater;
FreshPart<platform::users::SimulatedUsers, &platform::users::install> users([] {
  auto users = std::make_shared<platform::users::SimulatedUsers>();
  users->setUserName(SimulatedSecurityAgent::kUserName);
  users->setFullUserName(SimulatedSecurityAgent::kFullUserName);
  return users;
});
std::unique_ptr<SimulatedLockMachine> lockMachinePart;
FixtureHook lockMachineHook(
    [] {
      lockMachinePart = std::make_unique<SimulatedLockMachine>();
      lockMachinePart->install();
    },
    [] {
      if (lockMachinePart) lockMachinePart->uninstall();
      lockMachinePart.reset();
    });
FixtureHook displayMachineHook([] { installSimulatedMachine(); },
                               [] { uninstallSimulatedMachine(); });

}  // namespace

platform::ui::SimulatedAlerts& simulatedAlerts() { return *alerts; }
platform::ui::SimulatedStatusBar& simulatedStatusBar() { return *statusBar; }
platform::localauth::SimulatedLocalAuthentication& simulatedLocalAuth() { return *localAuth; }
platform::loginitems::SimulatedLoginItems& simulatedLoginItems() { return *loginItems; }
platform::authorization::SimulatedAuthorization& simulatedAuthorization() { return *authorization; }
platform::keychain::SimulatedKeychain& simulatedKeychain() { return *keychain; }
platform::files::SimulatedFileSystem& simulatedFiles() { return *files; }
platform::workspace::SimulatedURLOpener& simulatedURLOpener() { return *opener; }
platform::ui::SimulatedApplication& simulatedApplication() { return *application; }
platform::updater::SimulatedUpdateFramework& simulatedUpdater() { return *updater; }
platform::users::SimulatedUsers& simulatedUsers() { return *users; }
SimulatedLockMachine& lockMachine() { return *lockMachinePart; }

}  // namespace quorvel::testing

// Under the leak sanitizer: fontconfig keeps caches for the life of the process that the
// sanitizer reports as leaks once text has been drawn (the notch panel's message line).
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
