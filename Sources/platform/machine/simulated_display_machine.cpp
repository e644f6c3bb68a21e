#include "platform/machine/simulated_display_machine.hpp"

namespace platform::machine {
namespace {

SimulatedMachine& current() {
  static SimulatedMachine instance;
  return instance;
}

}  // namespace

SimulatedMachine& machine() { return current(); }

screens::Screen builtInScreenWithHousing(double width, double height) {
  screens::Screen screen;
  screen.frame = platform::Rect(0, 0, 1512, 982);
  screen.safeAreaInsets.top = height;
  const double side = (1512 - width) / 2;
  screen.auxiliaryTopLeftArea = platform::Rect(0, 982 - height, side, height);
  screen.auxiliaryTopRightArea = platform::Rect(1512 - side, 982 - height, side, height);
  screen.deviceDescription[screens::kScreenNumberKey] = kBuiltInDisplay;
  return screen;
}

screens::Screen builtInScreen() { return builtInScreenWithHousing(188, 32); }

screens::Screen externalScreen() {
  screens::Screen screen;
  screen.frame = platform::Rect(1512, 0, 1920, 1080);
  screen.deviceDescription[screens::kScreenNumberKey] = kExternalDisplay;
  return screen;
}

void useBuiltInScreen() {
  machine().screens->setScreens({builtInScreen()});
  machine().screens->setMainIndex(0);
}

void useBuiltInAndExternalScreens() {
  machine().screens->setScreens({builtInScreen(), externalScreen()});
  machine().screens->setMainIndex(1);
}

void useExternalScreenOnly() {
  machine().screens->setScreens({externalScreen()});
  machine().screens->setMainIndex(0);
}

void useNoScreen() { machine().screens->setScreens({}); }

void removeSkyLight() { machine().loader->remove(windowserver::kSkyLightPath); }

void installSimulatedMachine() {
  SimulatedMachine& m = current();
  m.screens = std::make_shared<screens::SimulatedScreens>();
  m.screens->setBuiltinDisplays({kBuiltInDisplay});
  m.windows = std::make_shared<windows::SimulatedWindowSystem>();
  m.loader = std::make_shared<windowserver::SimulatedLoader>();
  m.skyLight = std::make_shared<windowserver::SimulatedSkyLight>();
  m.loader->add(windowserver::kSkyLightPath, m.skyLight);
  m.windowList = std::make_shared<windowserver::SimulatedWindowList>();
  m.displayOptions = std::make_shared<workspace::SimulatedDisplayOptions>();
  screens::install(m.screens);
  windows::install(m.windows);
  windowserver::installLoader(m.loader);
  windowserver::installWindowList(m.windowList);
  workspace::installDisplayOptions(m.displayOptions);
  useBuiltInScreen();
}

void uninstallSimulatedMachine() {
  screens::install(nullptr);
  windows::install(nullptr);
  windowserver::installLoader(nullptr);
  windowserver::installWindowList(nullptr);
  workspace::installDisplayOptions(nullptr);
  current() = SimulatedMachine{};
}

}  // namespace platform::machine
