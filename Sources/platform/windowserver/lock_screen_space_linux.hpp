// The window server's space above the lock screen on Linux: the functions the overlay looks up
// in the window server's framework, served over the running session's road above the lock
// screen (lock_screen_road.hpp). A window added to the space is taken from the display and
// shown by the road instead: its content view is drawn into frames, at the road's pace, while
// the window is ordered in with a non-zero alpha, at its frame's place. Without a road the
// space cannot be opened and says why. The transform functions are not offered: a road places
// its surface itself. Main thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/windowserver/lock_screen_road.hpp"
#include "platform/windowserver/skylight.hpp"

namespace platform::windowserver {

// The space over the session's road (chosen once per process, from XDG_CURRENT_DESKTOP and the
// roads that open); null with the roads' reasons when there is none.
std::shared_ptr<DynamicLibrary> openLockScreenSpace(std::string* whyNot);
// The same over a road already open (tests hand it theirs).
std::shared_ptr<DynamicLibrary> makeLockScreenSpace(std::unique_ptr<LockScreenRoad> road);
// Where the space's road shows window `window` now (global, top-left origin); absent when it
// does not show it.
std::optional<Rect> lockScreenSpaceBounds(std::int64_t window);

}  // namespace platform::windowserver
