// The simulated address opener installed in every test.
#pragma once

#include "platform/workspace/simulated_url_opener.hpp"

namespace quorvel::testing {

platform::workspace::SimulatedURLOpener& simulatedURLOpener();

}  // namespace quorvel::testing
