// GNOME Shell's road above its lock screen. The shell shows no other program's surface above
// its lock screen, but an extension that stays on in the shell's unlock-dialog session mode
// may add to what the shell itself draws there. The program ships such an extension
// (Resources/gnome-shell-extension: a variant for GNOME Shell 43 and 44, one for 45 and
// later, sharing host.js): it keeps one picture above everything the shell draws, never
// reactive and never focused, and shows the frames this road sends it over the session bus
// through an object it exports on the shell's own connection.
//
// The road opens only where that works: GNOME Shell on the session bus and the extension
// installed, enabled and answering in this road's version. Otherwise its reason says what is
// missing and how to install (the bundle's folder for the running shell, the user's extension
// folder) or enable it (`gnome-extensions enable ...`).
//
// Frames travel as the visible part of the frame (its transparent margins cut off) encoded as
// PNG, in asynchronous calls on a bus thread of the road's own: at most one call is
// on its way, and a newer frame replaces one still waiting, so a slow or dead shell costs
// dropped frames, never a wait on the main thread. An unchanged frame is sent again only once
// a second (the extension takes its picture down when its sender hangs or leaves the bus).
// `open` waits (a bounded time) for the shell's answers; everything else returns at once.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/windowserver/lock_screen_road.hpp"

namespace platform::windowserver {

inline constexpr const char* kGnomeOverlayExtension = "quorvel-overlay@tessmin.com";
inline constexpr const char* kGnomeOverlayPath = "/com/tessmin/Quorvel/Overlay";
inline constexpr const char* kGnomeOverlayInterface = "com.tessmin.Quorvel.Overlay1";
// The extension's interface version this road speaks (host.js: VERSION).
inline constexpr std::uint32_t kGnomeOverlayVersion = 1;

std::unique_ptr<LockScreenRoad> makeGnomeLockScreenRoad();

// A frame as the road sends it: the frame's size in pixels, the part of it that is not
// transparent (left, top, columns, rows in the frame's pixels; no columns and no rows when
// nothing is) and that part as a PNG image (empty when nothing is).
struct GnomeOverlayFrame {
  std::uint32_t width = 0, height = 0;
  std::uint32_t left = 0, top = 0, columns = 0, rows = 0;
  std::vector<std::uint8_t> png;
};
// The frame to send for `frame`, as it is: the extension refuses one larger than 640 x 400
// pixels (host.js: MAX_WIDTH, MAX_HEIGHT), as it refuses such a placement.
GnomeOverlayFrame gnomeOverlayFrame(const QImage& frame);

// The bundle's folder holding the extension for a GNOME Shell version ("43.9"): shell-43 up to
// 44, shell-45 from 45 on.
std::string gnomeOverlayExtensionFolder(const std::string& shellVersion);

}  // namespace platform::windowserver
