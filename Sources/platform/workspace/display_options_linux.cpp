#include "platform/workspace/display_options_linux.hpp"

#include <cstdlib>
#include <cstring>

namespace platform::workspace {
namespace {

class LinuxDisplayOptions : public DisplayOptions {
 public:
  bool accessibilityDisplayShouldReduceMotion() override {
    const char* value = std::getenv("QUORVEL_REDUCE_MOTION");
    return value && std::strcmp(value, "1") == 0;
  }
};

}  // namespace

std::shared_ptr<DisplayOptions> makeLinuxDisplayOptions() {
  return std::make_shared<LinuxDisplayOptions>();
}

}  // namespace platform::workspace
