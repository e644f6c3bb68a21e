// Where the camera housing (the notch) of a screen is and how large it is, which screen is
// the built-in display, and how the notch-shaped panel grows from its closed to its open
// size as an animation progresses.
#pragma once

#include <optional>

#include "platform/screens/screens.hpp"

namespace quorvel {

struct NotchGeometry {
  double width = 180;
  double height = 8;
  bool hasNotch = false;

  NotchGeometry() = default;
  NotchGeometry(double width, double height, bool hasNotch)
      : width(width), height(height), hasNotch(hasNotch) {}
  // Measures the housing of `screen`; the default (180 x 8, no notch) when it has none.
  explicit NotchGeometry(const platform::screens::Screen& screen);

  bool operator==(const NotchGeometry&) const = default;
};

struct NotchPanelGeometry {
  double closedWidth = 0;
  double closedHeight = 0;
  double openWidth = 0;
  double openHeight = 0;
  double fillet = 0;

  struct Frame {
    double outerWidth = 0;
    double bodyWidth = 0;
    double height = 0;
    double filletedWidth = 0;
    bool operator==(const Frame&) const = default;
  };

  NotchPanelGeometry(double closedWidth, double closedHeight, double openWidth,
                     double openHeight, double fillet)
      : closedWidth(closedWidth),
        closedHeight(closedHeight),
        openWidth(openWidth),
        openHeight(openHeight),
        fillet(fillet) {}

  // The panel's measurements at `progress` (clamped to 0...1, interpolated linearly).
  Frame frame(double progress) const;
};

// The screen of the built-in display, or absent (an external display only, a closed lid).
std::optional<platform::screens::Screen> builtInScreen();
// The built-in screen, else the main screen, else absent.
std::optional<platform::screens::Screen> builtInOrMainScreen();

}  // namespace quorvel
