#include "platform/workspace/display_options.hpp"

#include <mutex>

#include "platform/workspace/display_options_linux.hpp"

namespace platform::workspace {
namespace {

std::mutex& installMutex() {
  static std::mutex mutex;
  return mutex;
}
std::shared_ptr<DisplayOptions>& installed() {
  static std::shared_ptr<DisplayOptions> value;
  return value;
}

}  // namespace

std::shared_ptr<DisplayOptions> displayOptions() {
  std::lock_guard<std::mutex> lock(installMutex());
  if (!installed()) installed() = makeLinuxDisplayOptions();
  return installed();
}

void installDisplayOptions(std::shared_ptr<DisplayOptions> options) {
  std::lock_guard<std::mutex> lock(installMutex());
  installed() = std::move(options);
}

}  // namespace platform::workspace
