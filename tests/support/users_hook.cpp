// Installs fresh simulated user names for every fixture-based test.
#include <memory>

#include "support/platform_fixture.hpp"
#include "support/simulated_security_agent.hpp"

namespace quorvel::testing {

namespace {

std::shared_ptr<platform::users::SimulatedUsers> gUsers;

FixtureHook usersHook(
    [] {
      gUsers = std::make_shared<platform::users::SimulatedUsers>();
      gUsers->setUserName(SimulatedSecurityAgent::kUserName);
      gUsers->setFullUserName(SimulatedSecurityAgent::kFullUserName);
      platform::users::install(gUsers);
    },
    [] {
      platform::users::install(nullptr);
      gUsers.reset();
    });

}  // namespace

platform::users::SimulatedUsers& simulatedUsers() { return *gUsers; }

}  // namespace quorvel::testing
