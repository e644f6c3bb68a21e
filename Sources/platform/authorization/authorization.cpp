#include "platform/authorization/authorization.hpp"

#include <mutex>

#include "platform/authorization/authorization_linux.hpp"

namespace platform::authorization {

namespace {
std::mutex gMutex;
std::shared_ptr<Authorization> gCurrent;
}  // namespace

std::shared_ptr<Authorization> current() {
  std::lock_guard<std::mutex> lock(gMutex);
  if (!gCurrent) gCurrent = std::make_shared<LinuxAuthorization>();
  return gCurrent;
}

void install(std::shared_ptr<Authorization> authorization) {
  std::lock_guard<std::mutex> lock(gMutex);
  gCurrent = std::move(authorization);
}

}  // namespace platform::authorization
