// The window list on Linux.
#pragma once

#include "platform/windowserver/window_list.hpp"

namespace platform::windowserver {

// Linux: no window list; display bounds from the installed screens.
std::shared_ptr<WindowList> makeLinuxWindowList();

}  // namespace platform::windowserver
