#include "platform/workspace/url_opener.hpp"

#include <mutex>

#include "platform/workspace/url_opener_linux.hpp"

namespace platform::workspace {
namespace {

std::mutex& installMutex() {
  static std::mutex mutex;
  return mutex;
}
std::shared_ptr<URLOpener>& installed() {
  static std::shared_ptr<URLOpener> value;
  return value;
}

}  // namespace

std::shared_ptr<URLOpener> urlOpener() {
  std::lock_guard<std::mutex> lock(installMutex());
  if (!installed()) installed() = makeLinuxURLOpener();
  return installed();
}

void installURLOpener(std::shared_ptr<URLOpener> opener) {
  std::lock_guard<std::mutex> lock(installMutex());
  installed() = std::move(opener);
}

}  // namespace platform::workspace
