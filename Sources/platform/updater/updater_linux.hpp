// The linux update framework: there is none, so no updater ever starts.
#pragma once

#include <memory>

#include "platform/updater/updater.hpp"

namespace platform::updater {

std::shared_ptr<UpdateFramework> makeLinuxUpdateFramework();

}  // namespace platform::updater
