// The screens on Linux, from Qt.
#pragma once

#include "platform/screens/screens.hpp"

namespace platform::screens {

// Screens from Qt (when the process runs Qt on a real display; none otherwise, also off
// screen). No housing is reported; displays whose connector is an internal panel (eDP, LVDS,
// DSI) count as built in. Observers added before Qt started hear the changes from then on.
std::shared_ptr<Screens> makeLinuxScreens();

// Converts a rectangle between our screen space (origin at the primary screen's bottom left,
// y up) and the window system's (origin at its top left, y down): the same flip both ways.
// Without a primary screen the rectangle is returned as it is.
Rect flippedForWindowSystem(const Rect& rect);

}  // namespace platform::screens
