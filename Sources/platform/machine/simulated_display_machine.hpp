// The simulated machine the overlay runs on: screens (a 1512 x 982 built-in display with a
// 188 x 32 camera housing, a plain external display, or none), our windows, a SkyLight
// library at its real path offering the eight functions the overlay needs, a window list
// whose bounds follow the panels' frames unless a test scripts others, and the reduce-motion
// setting. A fresh machine is installed by `installSimulatedMachine()`.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/screens/simulated_screens.hpp"
#include "platform/windows/simulated_windows.hpp"
#include "platform/windowserver/simulated_skylight.hpp"
#include "platform/windowserver/simulated_window_list.hpp"
#include "platform/workspace/simulated_display_options.hpp"

namespace platform::machine {

struct SimulatedMachine {
  std::shared_ptr<screens::SimulatedScreens> screens;
  std::shared_ptr<windows::SimulatedWindowSystem> windows;
  std::shared_ptr<windowserver::SimulatedLoader> loader;
  std::shared_ptr<windowserver::SimulatedSkyLight> skyLight;
  std::shared_ptr<windowserver::SimulatedWindowList> windowList;
  std::shared_ptr<workspace::SimulatedDisplayOptions> displayOptions;
};

// The machine installed last (empty before the first install and after uninstalling).
SimulatedMachine& machine();
void installSimulatedMachine();
void uninstallSimulatedMachine();

inline constexpr std::uint32_t kBuiltInDisplay = 1;
inline constexpr std::uint32_t kExternalDisplay = 2;

// 1512 x 982 at the origin, top inset 32, unobscured areas of 662 points on either side of a
// 188-point housing; display 1, built in.
screens::Screen builtInScreen();
// The built-in screen with a housing of `width` x `height` (auxiliary areas adjusted).
screens::Screen builtInScreenWithHousing(double width, double height);
// 1920 x 1080 to the right of the built-in one, no housing; display 2.
screens::Screen externalScreen();

// Machine set-ups (the default is the built-in screen alone).
void useBuiltInScreen();
void useBuiltInAndExternalScreens();
void useExternalScreenOnly();
void useNoScreen();
// SkyLight missing at its path.
void removeSkyLight();

}  // namespace platform::machine
