// The display options on Linux.
#pragma once

#include "platform/workspace/display_options.hpp"

namespace platform::workspace {

// Linux: reduced motion is the desktop's own setting, read afresh at every call.
// - In a KDE Plasma session (XDG_CURRENT_DESKTOP names KDE): the animation speed "instant",
//   that is AnimationDurationFactor=0 in the group [KDE] of kdeglobals (the user's
//   $XDG_CONFIG_HOME/kdeglobals, else the first of $XDG_CONFIG_DIRS/kdeglobals that sets it).
// - Elsewhere (GNOME, and the desktops that share its interface settings): GNOME's
//   org.gnome.desktop.interface enable-animations set to false, read through `gsettings`.
// A setting that cannot be read (no kdeglobals, no gsettings or schema, no answer within
// 2 s) reduces nothing. QUORVEL_REDUCE_MOTION=1 reduces motion and QUORVEL_REDUCE_MOTION=0
// does not, whatever the desktop says.
std::shared_ptr<DisplayOptions> makeLinuxDisplayOptions();

}  // namespace platform::workspace
