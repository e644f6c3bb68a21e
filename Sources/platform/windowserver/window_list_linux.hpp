// The window list on Linux.
#pragma once

#include "platform/windowserver/window_list.hpp"

namespace platform::windowserver {

// Linux: the list knows only the windows shown above the lock screen (with the bounds their
// road gives); display bounds from the installed screens.
std::shared_ptr<WindowList> makeLinuxWindowList();

}  // namespace platform::windowserver
