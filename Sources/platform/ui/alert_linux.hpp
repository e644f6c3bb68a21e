// The linux alerts: modal Qt dialogs.
#pragma once

#include <memory>

#include "platform/ui/alert.hpp"

namespace platform::ui {

// Linux: a modal dialog of Qt widgets with a non-echoing password field as the secure field.
// Without a display the alert is written to the log and answered as a dismissed alert is,
// with its last button and an empty field.
std::shared_ptr<AlertPresenter> makeLinuxAlerts();

}  // namespace platform::ui
