// Installs fresh simulated authorization services for every fixture-based test.
#include <memory>

#include "support/platform_fixture.hpp"
#include "support/simulated_authorization.hpp"

namespace quorvel::testing {
namespace {

std::shared_ptr<platform::authorization::SimulatedAuthorization> gAuthorization;

FixtureHook hook(
    [] {
      gAuthorization = std::make_shared<platform::authorization::SimulatedAuthorization>();
      platform::authorization::install(gAuthorization);
    },
    [] {
      platform::authorization::install(nullptr);
      gAuthorization.reset();
    });

}  // namespace

platform::authorization::SimulatedAuthorization& simulatedAuthorization() { return *gAuthorization; }

}  // namespace quorvel::testing
