// Opening an address on Linux.
#pragma once

#include "platform/workspace/url_opener.hpp"

namespace platform::workspace {

// Linux: http(s) addresses go to `xdg-open` in the background.
//
// The camera pane of the privacy settings of the system this was designed for
// (`kCameraPrivacyAddress`) has no Linux page to open: Linux closes the camera to a user who
// may not open its device node, which belongs to a group (usually "video"), and no desktop
// setting changes that for a program that opens the node itself (the desktops' camera
// switches govern sandboxed applications). That address shows the fix instead, in an alert
// on the main queue: the command that adds the user to the built-in camera node's group, and
// that it takes effect from the next login. Other addresses have no handler and answer false.
std::shared_ptr<URLOpener> makeLinuxURLOpener();

inline constexpr const char* kCameraPrivacyAddress =
    "x-apple.systempreferences:com.apple.preference.security?Privacy_Camera";

}  // namespace platform::workspace
