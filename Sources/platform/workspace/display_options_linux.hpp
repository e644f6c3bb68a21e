// The display options on Linux.
#pragma once

#include "platform/workspace/display_options.hpp"

namespace platform::workspace {

// Linux: the desktop's "enable animations" setting is not consulted; motion is never reduced
// unless QUORVEL_REDUCE_MOTION=1 is set in the environment.
std::shared_ptr<DisplayOptions> makeLinuxDisplayOptions();

}  // namespace platform::workspace
