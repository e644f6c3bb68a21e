#include "support/tutorial_hooks.hpp"

#include "support/platform_fixture.hpp"

namespace quorvel::testing {
namespace {

FreshPart<platform::workspace::SimulatedURLOpener, &platform::workspace::installURLOpener> opener;

}  // namespace

platform::workspace::SimulatedURLOpener& simulatedURLOpener() { return *opener; }

}  // namespace quorvel::testing
