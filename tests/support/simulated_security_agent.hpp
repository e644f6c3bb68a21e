// The simulated security agent, and the user names of the running test.
#pragma once

#include "platform/machine/simulated_security_agent.hpp"
#include "platform/users/simulated_users.hpp"
#include "support/simulated_lock_machine.hpp"

namespace quorvel::testing {

using platform::machine::SimulatedSecurityAgent;

// The simulated user names of the running test (installed for every fixture-based test).
platform::users::SimulatedUsers& simulatedUsers();

}  // namespace quorvel::testing
