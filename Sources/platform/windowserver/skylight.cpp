#include "platform/windowserver/skylight.hpp"

#include <mutex>

#include "platform/windowserver/skylight_linux.hpp"

namespace platform::windowserver {
namespace {

std::mutex& installMutex() {
  static std::mutex mutex;
  return mutex;
}
std::shared_ptr<DynamicLoader>& installed() {
  static std::shared_ptr<DynamicLoader> value;
  return value;
}

}  // namespace

std::shared_ptr<DynamicLoader> loader() {
  std::lock_guard<std::mutex> lock(installMutex());
  if (!installed()) installed() = makeLinuxLoader();
  return installed();
}

void installLoader(std::shared_ptr<DynamicLoader> value) {
  std::lock_guard<std::mutex> lock(installMutex());
  installed() = std::move(value);
}

}  // namespace platform::windowserver
