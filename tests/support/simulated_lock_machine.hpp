// The simulated lock machine of the running test.
#pragma once

#include "platform/machine/simulated_lock_machine.hpp"

namespace quorvel::testing {

using platform::machine::SimulatedLockMachine;

// The machine of the running test (made fresh at every fixture set-up).
SimulatedLockMachine& lockMachine();

}  // namespace quorvel::testing
