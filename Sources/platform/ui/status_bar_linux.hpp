// The linux status bar: a tray icon and pop-up windows (Qt).
#pragma once

#include <memory>

#include "platform/ui/status_bar.hpp"

namespace platform::ui {

// Linux: the status item is an icon in the desktop's tray (a StatusNotifierItem over D-Bus where
// the desktop runs a watcher, the XEmbed tray otherwise); without a tray the item has no
// button and that is logged. A popover is a frameless pop-up window under the icon (under the
// pointer where the tray does not say where its icon is) that a click elsewhere closes; the
// monitors hear such clicks. Symbols are the ones our symbol set can draw.
std::shared_ptr<StatusBar> makeLinuxStatusBar();

}  // namespace platform::ui
