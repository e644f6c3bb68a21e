#include "overlay/notch_geometry.hpp"

namespace quorvel {

NotchGeometry::NotchGeometry(const platform::screens::Screen& screen) {
  const double top = screen.safeAreaInsets.top;
  if (top <= 0) return;
  if (!screen.auxiliaryTopLeftArea) return;
  if (!screen.auxiliaryTopRightArea) return;
  width = screen.frame.width() - screen.auxiliaryTopLeftArea->width() -
          screen.auxiliaryTopRightArea->width();
  height = top;
  hasNotch = true;
}

NotchPanelGeometry::Frame NotchPanelGeometry::frame(double progress) const {
  double p = progress;
  if (!(progress > 0)) {  // also a NaN progress: closed
    p = 0;
  } else if (progress > 1) {
    p = 1;
  }
  Frame result;
  result.bodyWidth = closedWidth + p * (openWidth - closedWidth);
  result.height = closedHeight + p * (openHeight - closedHeight);
  result.filletedWidth = fillet >= 0 ? p * fillet : 0;
  result.outerWidth = result.bodyWidth + 2 * result.filletedWidth;
  return result;
}

std::optional<platform::screens::Screen> builtInScreen() {
  auto screens = platform::screens::current();
  for (const auto& screen : screens->screens()) {
    const auto display = screen.displayID();
    if (!display) continue;
    if (screens->displayIsBuiltin(*display)) return screen;
  }
  return std::nullopt;
}

std::optional<platform::screens::Screen> builtInOrMainScreen() {
  if (auto screen = builtInScreen()) return screen;
  return platform::screens::current()->mainScreen();
}

}  // namespace quorvel
