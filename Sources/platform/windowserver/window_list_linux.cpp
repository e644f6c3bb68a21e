#include "platform/windowserver/window_list_linux.hpp"

namespace platform::windowserver {
namespace {

class LinuxWindowList : public WindowList {
 public:
  std::optional<std::vector<WindowInfo>> copyWindowInfo(std::uint32_t, std::uint32_t) override {
    return std::nullopt;
  }
  Rect displayBounds(std::uint32_t display) override { return displayBoundsFromScreens(display); }
};

}  // namespace

std::shared_ptr<WindowList> makeLinuxWindowList() { return std::make_shared<LinuxWindowList>(); }

}  // namespace platform::windowserver
