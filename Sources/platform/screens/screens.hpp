// The screens attached to the machine, as the window system describes them: frames in the
// screen coordinate space (origin at the bottom left of the primary screen, y up), the top
// safe-area inset and the unobscured areas beside a camera housing, a device description
// holding the display number under "NSScreenNumber", and whether a display is the built-in
// one. Observers hear when the screen parameters change (on the main queue).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/geometry/geometry.hpp"

namespace platform::screens {

struct EdgeInsets {
  double top = 0, left = 0, bottom = 0, right = 0;
  bool operator==(const EdgeInsets&) const = default;
};

// A value of a screen's device description (numbers keep their stored type).
using DescriptionValue = std::variant<std::uint32_t, std::int64_t, double, std::string>;
using DeviceDescription = std::map<std::string, DescriptionValue>;

inline constexpr const char* kScreenNumberKey = "NSScreenNumber";

struct Screen {
  Rect frame;
  EdgeInsets safeAreaInsets;
  std::optional<Rect> auxiliaryTopLeftArea;
  std::optional<Rect> auxiliaryTopRightArea;
  DeviceDescription deviceDescription;

  // The display number when the description holds an unsigned 32-bit one.
  std::optional<std::uint32_t> displayID() const;
  bool operator==(const Screen&) const = default;
};

using ObserverToken = std::uint64_t;

class Screens {
 public:
  virtual ~Screens() = default;
  // In the window system's order; the first is the primary screen.
  virtual std::vector<Screen> screens() = 0;
  // The screen holding the key window (or the primary one), absent with no screen at all.
  virtual std::optional<Screen> mainScreen() = 0;
  virtual bool displayIsBuiltin(std::uint32_t displayID) = 0;

  // The screen-parameters-changed notification. The callback runs on the main queue.
  virtual ObserverToken addParametersObserver(std::function<void()> callback) = 0;
  virtual void removeObserver(ObserverToken token) = 0;
};

std::shared_ptr<Screens> current();
void install(std::shared_ptr<Screens> screens);

}  // namespace platform::screens
