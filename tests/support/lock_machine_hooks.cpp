// Installs a fresh simulated lock machine for every fixture-based test.
#include <memory>

#include "support/platform_fixture.hpp"
#include "support/simulated_lock_machine.hpp"

namespace quorvel::testing {
namespace {

std::unique_ptr<SimulatedLockMachine> gMachine;

FixtureHook hook(
    [] {
      gMachine = std::make_unique<SimulatedLockMachine>();
      gMachine->install();
    },
    [] {
      if (gMachine) gMachine->uninstall();
      gMachine.reset();
    });

}  // namespace

SimulatedLockMachine& lockMachine() { return *gMachine; }

}  // namespace quorvel::testing
