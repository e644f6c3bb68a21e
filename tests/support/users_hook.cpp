// Installs fresh simulated user names for every fixture-based test.
#include "support/platform_fixture.hpp"
#include "support/simulated_security_agent.hpp"

namespace quorvel::testing {
namespace {

FreshPart<platform::users::SimulatedUsers, &platform::users::install> users([] {
  auto users = std::make_shared<platform::users::SimulatedUsers>();
  users->setUserName(SimulatedSecurityAgent::kUserName);
  users->setFullUserName(SimulatedSecurityAgent::kFullUserName);
  return users;
});

}  // namespace

platform::users::SimulatedUsers& simulatedUsers() { return *users; }

}  // namespace quorvel::testing
