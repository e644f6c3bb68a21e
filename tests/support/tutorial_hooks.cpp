#include "support/tutorial_hooks.hpp"

#include <memory>

#include "support/platform_fixture.hpp"

namespace quorvel::testing {
namespace {

std::shared_ptr<platform::workspace::SimulatedURLOpener> opener;

FixtureHook hook(
    [] {
      opener = std::make_shared<platform::workspace::SimulatedURLOpener>();
      platform::workspace::installURLOpener(opener);
    },
    [] {
      platform::workspace::installURLOpener(nullptr);
      opener.reset();
    });

}  // namespace

platform::workspace::SimulatedURLOpener& simulatedURLOpener() { return *opener; }

}  // namespace quorvel::testing
