#include "platform/windowserver/window_list_linux.hpp"

#include "platform/windowserver/lock_screen_space_linux.hpp"

namespace platform::windowserver {
namespace {

class LinuxWindowList : public WindowList {
 public:
  // Only the windows shown above the lock screen are known, with the bounds their road gives.
  std::optional<std::vector<WindowInfo>> copyWindowInfo(std::uint32_t option, std::uint32_t window) override {
    if (option != window_list_option::includingWindow) return std::nullopt;
    const auto bounds = lockScreenSpaceBounds(window);
    if (!bounds) return std::nullopt;
    return std::vector<WindowInfo>{{window, dictionaryRepresentation(*bounds)}};
  }
  Rect displayBounds(std::uint32_t display) override { return displayBoundsFromScreens(display); }
};

}  // namespace

std::shared_ptr<WindowList> makeLinuxWindowList() { return std::make_shared<LinuxWindowList>(); }

}  // namespace platform::windowserver
