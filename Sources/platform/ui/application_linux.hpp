// The linux application object (Qt).
#pragma once

#include <memory>

#include "platform/ui/application.hpp"

namespace platform::ui {

// Linux (Qt): there is no Dock; the policy decides whether the application's own windows (the
// tutorial) have an entry in the desktop's task bar and window switcher (regular) or are kept
// out of them as tool windows (accessory, prohibited); there is no menu bar of the
// application to show or hide. `run()` starts the GUI first (see gui.hpp), so a diagnostic
// that merely obtains this object never starts Qt.
std::shared_ptr<Application> makeLinuxApplication();

}  // namespace platform::ui
