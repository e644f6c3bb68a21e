#include "platform/workspace/display_options.hpp"

#include <cstdlib>
#include <cstring>
#include <mutex>

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

class LinuxDisplayOptions : public DisplayOptions {
 public:
  bool accessibilityDisplayShouldReduceMotion() override {
    const char* value = std::getenv("QUORVEL_REDUCE_MOTION");
    return value && std::strcmp(value, "1") == 0;
  }
};

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

std::shared_ptr<DisplayOptions> makeLinuxDisplayOptions() {
  return std::make_shared<LinuxDisplayOptions>();
}

}  // namespace platform::workspace
