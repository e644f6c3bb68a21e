// A desktop's sanctioned road for showing one small surface of this program above its lock
// screen. Linux has no window level above the lock screen that an ordinary window may take:
// each desktop offers its own road (KDE Plasma's lock-screen overlay protocol, an extension of
// GNOME Shell that stays on in the unlock dialog, ...). The overlay's window-server space on
// Linux (lock_screen_space_linux.hpp) runs on the one road that works in the running session;
// without one the space is missing and the overlay is unavailable.
//
// A road is fed finished frames: whatever draws the panel (the overlay's animation view) is
// drawn once, by the host, and the road only puts the pixels on the screen. The host calls
// `show` again for every new frame while the panel is shown, at the road's `frameInterval`.
//
// Adding a road: write a class implementing this interface in lock_screen_road_<desktop>.*,
// and name its factory in the list of lock_screen_road_selection.cpp.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/geometry/geometry.hpp"

class QImage;

namespace platform::windowserver {

class LockScreenRoad {
 public:
  virtual ~LockScreenRoad() = default;

  // The road's name for logs and diagnostics ("KDE Plasma lock-screen overlay").
  virtual std::string name() const = 0;

  // Reaches the desktop and makes sure it will show our surface above its lock screen.
  // False, with the reason in `whyNot`, when the running session offers this program no such
  // road (another desktop, no compositor, the program not allowed the road, ...). Called once,
  // on the main thread, before any other call; a road that failed to open is dropped.
  virtual bool open(std::string* whyNot) = 0;

  // Shows `frame` (premultiplied ARGB, its device pixel ratio the scale it was drawn at) with
  // its top-left corner at the origin of `placement`, in the desktop's global coordinates
  // (origin at the top left of the primary screen, y down, logical pixels); `placement`'s
  // size is the frame's logical size. Called for every new frame while the panel is shown,
  // also while the session is locked and after it locked. The surface shown never takes the
  // keyboard or the pointer: clicks and keys go to what is under it (the lock screen).
  virtual void show(const QImage& frame, const Rect& placement) = 0;

  // Takes the surface off the screen; the next `show` brings it back.
  virtual void hide() = 0;

  // Where the desktop shows the surface now, in the coordinates of `show`; absent while
  // hidden or when the desktop does not say.
  virtual std::optional<Rect> shownBounds() const = 0;

  // How often the host sends a new frame while the panel is shown, in seconds. A road fed
  // over a bus may ask for fewer frames than one that draws into a buffer of its own.
  virtual double frameInterval() const { return 1.0 / 30; }
};

// One road the program knows: the desktops it belongs to (names as XDG_CURRENT_DESKTOP lists
// them) and how to make it.
struct LockScreenRoadFactory {
  std::vector<std::string> desktops;
  std::function<std::unique_ptr<LockScreenRoad>()> make;
};

// Every road the program knows, in the order they are tried (lock_screen_road_selection.cpp).
std::vector<LockScreenRoadFactory> knownLockScreenRoads();

// The road of the running session: the roads whose desktop XDG_CURRENT_DESKTOP names are tried
// first, in its order, then the others; the first that opens is the result. Absent when none
// opens; `whyNot` then holds every road's reason ("KDE Plasma lock-screen overlay: ...; ...").
std::unique_ptr<LockScreenRoad> openLockScreenRoad(const std::vector<LockScreenRoadFactory>& roads,
                                                   const std::string& currentDesktop,
                                                   std::string* whyNot);

}  // namespace platform::windowserver
