#include "support/simulated_screens.hpp"

namespace quorvel::testing {
namespace {

SimulatedMachine& current() {
  static SimulatedMachine instance;
  return instance;
}

}  // namespace

SimulatedMachine& machine() { return current(); }

platform::screens::Screen builtInScreenWithHousing(double width, double height) {
  platform::screens::Screen screen;
  screen.frame = platform::Rect(0, 0, 1512, 982);
  screen.safeAreaInsets.top = height;
  const double side = (1512 - width) / 2;
  screen.auxiliaryTopLeftArea = platform::Rect(0, 982 - height, side, height);
  screen.auxiliaryTopRightArea = platform::Rect(1512 - side, 982 - height, side, height);
  screen.deviceDescription[platform::screens::kScreenNumberKey] = kBuiltInDisplay;
  return screen;
}

platform::screens::Screen builtInScreen() { return builtInScreenWithHousing(188, 32); }

platform::screens::Screen externalScreen() {
  platform::screens::Screen screen;
  screen.frame = platform::Rect(1512, 0, 1920, 1080);
  screen.deviceDescription[platform::screens::kScreenNumberKey] = kExternalDisplay;
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

void removeSkyLight() { machine().loader->remove(platform::windowserver::kSkyLightPath); }

void installSimulatedMachine() {
  SimulatedMachine& m = current();
  m.screens = std::make_shared<platform::screens::SimulatedScreens>();
  m.screens->setBuiltinDisplays({kBuiltInDisplay});
  m.windows = std::make_shared<platform::windows::SimulatedWindowSystem>();
  m.loader = std::make_shared<platform::windowserver::SimulatedLoader>();
  m.skyLight = std::make_shared<platform::windowserver::SimulatedSkyLight>();
  m.loader->add(platform::windowserver::kSkyLightPath, m.skyLight);
  m.windowList = std::make_shared<platform::windowserver::SimulatedWindowList>();
  m.displayOptions = std::make_shared<platform::workspace::SimulatedDisplayOptions>();
  platform::screens::install(m.screens);
  platform::windows::install(m.windows);
  platform::windowserver::installLoader(m.loader);
  platform::windowserver::installWindowList(m.windowList);
  platform::workspace::installDisplayOptions(m.displayOptions);
  useBuiltInScreen();
}

void uninstallSimulatedMachine() {
  platform::screens::install(nullptr);
  platform::windows::install(nullptr);
  platform::windowserver::installLoader(nullptr);
  platform::windowserver::installWindowList(nullptr);
  platform::workspace::installDisplayOptions(nullptr);
  current() = SimulatedMachine{};
}

}  // namespace quorvel::testing
