#include "overlay/notch_geometry.hpp"

#include <cmath>
#include <functional>

#include "support/platform_fixture.hpp"
#include "support/simulated_display.hpp"

namespace {

using quorvel::NotchGeometry;
using quorvel::NotchPanelGeometry;
using quorvel::testing::machine;
using quorvel::testing::PlatformTest;
namespace sim = quorvel::testing;

class NotchGeometryTest : public PlatformTest {};

TEST_F(NotchGeometryTest, ScreensWithoutAFullHousingGiveTheDefault) {
  const NotchGeometry fallback(180, 8, false);
  EXPECT_EQ(NotchGeometry(), fallback);
  EXPECT_EQ(NotchGeometry(sim::externalScreen()), fallback);
  // One unobscured area missing, or both there without a positive top inset.
  const std::function<void(platform::screens::Screen&)> partial[] = {
      [](auto& screen) { screen.auxiliaryTopLeftArea.reset(); },
      [](auto& screen) { screen.auxiliaryTopRightArea.reset(); },
      [](auto& screen) { screen.safeAreaInsets.top = 0; },
      [](auto& screen) { screen.safeAreaInsets.top = -4; }};
  for (const auto& change : partial) {
    auto screen = sim::builtInScreen();
    change(screen);
    EXPECT_EQ(NotchGeometry(screen), fallback);
  }
}

TEST_F(NotchGeometryTest, FindsTheBuiltInScreenInScreenOrder) {
  sim::useBuiltInAndExternalScreens();
  auto screen = quorvel::builtInScreen();
  ASSERT_TRUE(screen);
  EXPECT_EQ(screen->displayID(), sim::kBuiltInDisplay);

  // Two built-in-looking screens: the first in order wins.
  auto second = sim::builtInScreen();
  second.frame = platform::Rect(-1512, 0, 1512, 982);
  second.deviceDescription[platform::screens::kScreenNumberKey] = std::uint32_t{9};
  machine().screens->setBuiltinDisplays({sim::kBuiltInDisplay, 9});
  machine().screens->setScreens({sim::externalScreen(), second, sim::builtInScreen()});
  screen = quorvel::builtInScreen();
  ASSERT_TRUE(screen);
  EXPECT_EQ(screen->displayID(), 9u);
}

TEST_F(NotchGeometryTest, NoBuiltInScreenFallsBackToMainOrNothing) {
  // Screens without a usable display number are never asked about.
  auto unnumbered = sim::builtInScreen();
  unnumbered.deviceDescription.clear();
  auto wrongType = sim::builtInScreen();
  wrongType.deviceDescription[platform::screens::kScreenNumberKey] = std::int64_t{1};
  machine().screens->setScreens({unnumbered, wrongType});
  EXPECT_FALSE(quorvel::builtInScreen());
  EXPECT_TRUE(machine().screens->builtinQueries().empty());
  ASSERT_TRUE(quorvel::builtInOrMainScreen());
}

// Between the ends, and with a negative fillet, the shape tests check the frame.
TEST_F(NotchGeometryTest, PanelFrameClampsToItsEnds) {
  const NotchPanelGeometry geometry(180, 32, 250, 96, 14);
  // Outer width, body width, height, filleted width.
  const NotchPanelGeometry::Frame closed{180, 180, 32, 0}, open{278, 250, 96, 14};
  EXPECT_EQ(geometry.frame(0), closed);
  EXPECT_EQ(geometry.frame(-0.5), closed);
  EXPECT_EQ(geometry.frame(std::nan("")), closed);
  EXPECT_EQ(geometry.frame(1), open);
  EXPECT_EQ(geometry.frame(2), open);
}

}  // namespace
