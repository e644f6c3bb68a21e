// Opening an address on Linux.
#pragma once

#include "platform/workspace/url_opener.hpp"

namespace platform::workspace {

// Linux: http(s) addresses go to `xdg-open` in the background; other schemes (the settings
// panes of the system this was designed for) have no handler here and answer false.
std::shared_ptr<URLOpener> makeLinuxURLOpener();

}  // namespace platform::workspace
