// Dynamic loading on Linux.
#pragma once

#include "platform/windowserver/skylight.hpp"

namespace platform::windowserver {

// `dlopen` / `dlsym`; the window server's framework path opens the space above the lock screen
// over the session's road (lock_screen_space_linux.hpp).
std::shared_ptr<DynamicLoader> makeLinuxLoader();

}  // namespace platform::windowserver
