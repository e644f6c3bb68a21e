// KDE Plasma's road above its lock screen (Wayland): KWin shows a surface above the greeter
// while the session is locked when its client asked for it through
// `kde_lockscreen_overlay_v1.allow`. KWin offers that interface only to programs whose
// executable an installed .desktop file names (absolute Exec=) with
// `X-KDE-Wayland-Interfaces=kde_lockscreen_overlay_v1`.
//
// The road keeps a Wayland connection of its own and one plain surface fed with the frames it
// is given (shared-memory buffers): an xdg toplevel that Plasma's shell places at a global
// position, keeps out of the task bar and the switcher, and, as an on-screen display, never
// gives the keyboard; its input region is empty, so clicks fall through to the lock screen.
// KWin 5.27 stacks the greeter (a layer-shell surface of the overlay layer) and allowed surfaces
// in one layer, its topmost, where a window stands above those added or raised before it; the
// greeter is added, and raised each time KWin activates it, whenever it gets ready, and the
// locker's ActiveChanged(true) does not wait for that longer than a second. So while the
// session is locked the road puts its surface back on top once a second: a fresh surface
// (allowed before its first buffer) shown above the old one, which goes half a second later.
// A hidden surface is made afresh when shown again. Main thread only; events are read whenever
// a frame is shown.
#pragma once

#include <memory>

#include "platform/windowserver/lock_screen_road.hpp"

namespace platform::windowserver {

inline constexpr const char* kKdeLockScreenOverlayInterface = "kde_lockscreen_overlay_v1";
// The .desktop key that names the restricted Wayland interfaces a program may bind.
inline constexpr const char* kKdeWaylandInterfacesKey = "X-KDE-Wayland-Interfaces";

struct KdeRoadOptions {
  // Whether the surface asks KWin to show it above the lock screen. Without, it is an
  // ordinary surface, which KWin keeps under the greeter: the control that shows what asking
  // does.
  bool askAboveLockScreen = true;
};

std::unique_ptr<LockScreenRoad> makeKdeLockScreenRoad(KdeRoadOptions options = {});

}  // namespace platform::windowserver
