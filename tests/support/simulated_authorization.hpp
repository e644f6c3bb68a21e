// The simulated authorization services installed for every fixture-based test.
#pragma once

#include "platform/authorization/simulated_authorization.hpp"

namespace quorvel::testing {

// Fresh at every set-up: default script (the dialog shows at once and stays until answered).
platform::authorization::SimulatedAuthorization& simulatedAuthorization();

}  // namespace quorvel::testing
