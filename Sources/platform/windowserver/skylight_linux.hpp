// Dynamic loading on Linux.
#pragma once

#include "platform/windowserver/skylight.hpp"

namespace platform::windowserver {

// `dlopen` / `dlsym`.
std::shared_ptr<DynamicLoader> makeLinuxLoader();

}  // namespace platform::windowserver
