// The desktop's GUI for the menu-bar application: Qt widgets on the display the environment
// names, with the main queue run from Qt's event loop, so main-queue work, timers and the
// window system's events all run on the main thread.
#pragma once

#include <memory>

#include "platform/dispatch/dispatch.hpp"

namespace platform::ui {

// Starts Qt on the display (X11, else Wayland, as the session offers) unless the process already
// runs Qt. Without a display Qt runs off screen and the application goes on without a status
// item, windows or dialogs; this logs it once and answers false. Main thread; later calls
// answer as the first did.
bool startGui();

// A pump that runs the main queue's work from Qt's event loop (its nested runs included).
// Main thread; needs a QCoreApplication.
std::shared_ptr<dispatch::MainLoopPump> makeQtMainLoopPump();

}  // namespace platform::ui
