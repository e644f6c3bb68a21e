// What the window server reports about windows and displays, in its global coordinates
// (origin at the top left of the primary display, y down): the window list's entries with
// their bounds dictionaries, and a display's bounds.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/geometry/geometry.hpp"
#include "platform/screens/screens.hpp"

namespace platform::windowserver {

namespace window_list_option {
inline constexpr std::uint32_t all = 0;
inline constexpr std::uint32_t onScreenOnly = 1 << 0;
inline constexpr std::uint32_t onScreenAboveWindow = 1 << 1;
inline constexpr std::uint32_t onScreenBelowWindow = 1 << 2;
inline constexpr std::uint32_t includingWindow = 1 << 3;
}  // namespace window_list_option

// A rectangle's dictionary representation: "X", "Y", "Width", "Height".
using RectDictionary = std::map<std::string, double>;
RectDictionary dictionaryRepresentation(const Rect& rect);
// The rectangle of a dictionary representation; absent when a key is missing.
std::optional<Rect> rectFromDictionaryRepresentation(const RectDictionary& dictionary);

// One entry of the window list; `bounds` is its "kCGWindowBounds" value when present.
struct WindowInfo {
  std::int64_t number = 0;
  std::optional<RectDictionary> bounds;
};

class WindowList {
 public:
  virtual ~WindowList() = default;
  // The list for `option` relative to `window`; absent when the server gives none.
  virtual std::optional<std::vector<WindowInfo>> copyWindowInfo(std::uint32_t option,
                                                                std::uint32_t window) = 0;
  // A display's bounds (the zero rectangle for an unknown display).
  virtual Rect displayBounds(std::uint32_t display) = 0;
};

std::shared_ptr<WindowList> windowList();
void installWindowList(std::shared_ptr<WindowList> list);

// The bounds of `window` as the list reports them with `includingWindow`: the first entry's
// bounds as a rectangle; absent when there is no list, no entry, no bounds or no rectangle.
std::optional<Rect> windowBounds(std::uint32_t window);

// A display's global bounds from a screen frame in bottom-left coordinates, given the
// primary screen's height.
Rect globalBounds(const Rect& screenFrame, double primaryHeight);

// The primary screen's height (the first of `all`), 0 with none.
double primaryHeight(const std::vector<screens::Screen>& all);
// A display's global bounds from the installed screens (the zero rectangle for an unknown
// display).
Rect displayBoundsFromScreens(std::uint32_t display);

}  // namespace platform::windowserver
