// Installs fresh simulated authorization services for every fixture-based test.
#include "support/platform_fixture.hpp"
#include "support/simulated_authorization.hpp"

namespace quorvel::testing {
namespace {

FreshPart<platform::authorization::SimulatedAuthorization, &platform::authorization::install>
    authorization;

}  // namespace

platform::authorization::SimulatedAuthorization& simulatedAuthorization() { return *authorization; }

}  // namespace quorvel::testing
