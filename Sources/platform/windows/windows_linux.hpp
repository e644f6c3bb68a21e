// Our windows on Linux: Qt top-level windows on the display.
#pragma once

#include "platform/windows/windows.hpp"

class QKeyEvent;
class QWidget;

namespace platform::windows {

// Linux: each panel is a frameless top-level Qt window on the display (when the process runs
// Qt on a real display, see `hasRealDisplay()`), drawn from its content view, passing
// clicks, pointer moves and keys to the content view's root view; numbers only otherwise.
std::shared_ptr<WindowSystem> makeLinuxWindowSystem();

// The key a Qt key event stands for.
KeyPress keyPressFrom(const QKeyEvent& event);
// Shapes a translucent top-level window to what `view` draws in it (the pixels it covers), so
// that it keeps its outline on a display without a compositing manager.
void shapeToView(QWidget& window, const std::shared_ptr<View>& view);

}  // namespace platform::windows
