// The simulated security agent, and the user names of the running test.
#pragma once

#include <optional>
#include <string>

#include "platform/machine/simulated_security_agent.hpp"
#include "platform/users/simulated_users.hpp"
#include "support/simulated_lock_machine.hpp"

namespace quorvel::testing {

using platform::machine::SimulatedSecurityAgent;

// A dialog that asks for the password at once (no Touch ID), its name field showing `account`.
inline SimulatedSecurityAgent::DialogSpec passwordDialog(
    std::optional<std::string> account = std::string(SimulatedSecurityAgent::kUserName)) {
  SimulatedSecurityAgent::DialogSpec spec;
  spec.offersTouchID = false;
  spec.accountName = std::move(account);
  return spec;
}

// The simulated user names of the running test (installed for every fixture-based test).
platform::users::SimulatedUsers& simulatedUsers();

}  // namespace quorvel::testing
