// The simulated display machine (screens, windows, SkyLight, window list, reduce motion) the
// overlay's tests run on; the fixture hook installs a fresh one for every test.
#pragma once

#include "platform/machine/simulated_display_machine.hpp"

namespace quorvel::testing {
using namespace platform::machine;
}  // namespace quorvel::testing
