#include "platform/screens/screens_linux.hpp"
#include "platform/windows/windows.hpp"
#include "platform/windowserver/simulated_window_list.hpp"
#include "platform/windowserver/skylight_linux.hpp"
#include "platform/workspace/display_options_linux.hpp"
#include "support/platform_fixture.hpp"
#include "support/simulated_display.hpp"

// After the log header: Qt defines keyword macros.
#include <QGuiApplication>

namespace {

using quorvel::testing::machine;
using quorvel::testing::PlatformTest;
namespace ws = platform::windowserver;
namespace sim = quorvel::testing;

class WindowServerTest : public PlatformTest {};

TEST_F(WindowServerTest, LinuxLoaderOpensRealLibrariesAndFailsOnTheFrameworkPath) {
  auto loader = ws::makeLinuxLoader();
  EXPECT_EQ(loader->open(ws::kSkyLightPath, ws::kRTLDNow), nullptr);
  EXPECT_NE(loader->lastError().find("SkyLight"), std::string::npos);
  auto libc = loader->open("libc.so.6", ws::kRTLDNow);
  ASSERT_NE(libc, nullptr);
  using Strlen = std::size_t (*)(const char*);
  auto length = ws::functionCast<Strlen>(libc->symbol("strlen"));
  ASSERT_NE(length, nullptr);
  EXPECT_EQ(length("notch"), 5u);
  EXPECT_EQ(libc->symbol("SLSMainConnectionID"), nullptr);
}

TEST_F(WindowServerTest, WindowBoundsFollowThePanelInTopLeftCoordinates) {
  platform::windows::Panel panel(platform::Rect(596, 782, 320, 200), 0,
                                 platform::windows::BackingStore::buffered, false);
  const auto number = static_cast<std::uint32_t>(panel.windowNumber());
  EXPECT_EQ(ws::windowBounds(number), platform::Rect(596, 0, 320, 200));
  machine().windowList->setBounds(number, platform::Rect(1, 2, 3, 4));
  EXPECT_EQ(ws::windowBounds(number), platform::Rect(1, 2, 3, 4));
  EXPECT_EQ(ws::windowBounds(9999), std::nullopt);  // no such window: no entry
  using Failure = ws::SimulatedWindowList::Failure;
  for (auto failure : {Failure::noList, Failure::noEntry, Failure::noBounds, Failure::badBounds}) {
    machine().windowList->setFailure(failure);
    EXPECT_EQ(ws::windowBounds(number), std::nullopt);
  }
  // A display's bounds: the built-in primary at the origin, the external to its right,
  // aligned by their bottoms in the bottom-left space.
  sim::useBuiltInAndExternalScreens();
  EXPECT_EQ(ws::windowList()->displayBounds(sim::kBuiltInDisplay), platform::Rect(0, 0, 1512, 982));
  EXPECT_EQ(ws::windowList()->displayBounds(sim::kExternalDisplay),
            platform::Rect(1512, -98, 1920, 1080));
  EXPECT_EQ(ws::windowList()->displayBounds(77), platform::Rect());
}

TEST_F(WindowServerTest, RectDictionariesNeedEveryKey) {
  const auto dictionary = ws::dictionaryRepresentation(platform::Rect(1, 2, 3, 4));
  EXPECT_EQ(ws::rectFromDictionaryRepresentation(dictionary), platform::Rect(1, 2, 3, 4));
  auto partial = dictionary;
  partial.erase("Height");
  EXPECT_EQ(ws::rectFromDictionaryRepresentation(partial), std::nullopt);
}

TEST_F(WindowServerTest, PanelsTellTheWindowSystemWhatHappens) {
  auto panel = std::make_unique<platform::windows::Panel>(
      platform::Rect(0, 0, 100, 50), platform::windows::style_mask::borderless,
      platform::windows::BackingStore::buffered, false);
  const auto n = std::to_string(panel->windowNumber());
  panel->setContentView(std::make_shared<platform::windows::HostingView>(nullptr));
  panel->setFrame(platform::Rect(10, 20, 300, 40), true);
  EXPECT_EQ(panel->contentView()->frame(), platform::Rect(0, 0, 300, 40));
  panel->setAlphaValue(2);
  EXPECT_EQ(panel->alphaValue(), 1);
  panel->orderFrontRegardless();
  EXPECT_TRUE(panel->canBecomeKeyWindow());
  EXPECT_EQ(machine().windows->panel(panel->windowNumber()), panel.get());
  panel.reset();
  EXPECT_EQ(machine().windows->events(),
            (std::vector<std::string>{"create " + n,
                                      "frame " + n + " {{10, 20}, {300, 40}} display=true",
                                      "alpha " + n + " 1", "front " + n, "destroy " + n}));
  EXPECT_TRUE(machine().windows->windowNumbers().empty());
}

TEST_F(WindowServerTest, ScreenObserversHearChangesOnTheMainQueueUntilRemoved) {
  int heard = 0;
  auto screens = machine().screens;
  const auto token = screens->addParametersObserver([&] { ++heard; });
  screens->postParametersChanged();
  EXPECT_EQ(heard, 0);
  runUntilIdle();
  EXPECT_EQ(heard, 1);
  screens->postParametersChanged();
  screens->removeObserver(token);  // removed before the delivery runs
  runUntilIdle();
  EXPECT_EQ(heard, 1);
  EXPECT_EQ(screens->observerCount(), 0u);
}

TEST_F(WindowServerTest, LinuxScreensAreNoneOffScreen) {
  // Qt drawing off screen (no display) shows nothing to anyone: no screen is reported, and an
  // observer is kept without one. The screens of a real display: tests/desktop.
  auto qtScreens = platform::screens::makeLinuxScreens();
  platform::windows::ensureGuiApplication();
  ASSERT_NE(QGuiApplication::instance(), nullptr);
  EXPECT_TRUE(qtScreens->screens().empty());
  EXPECT_FALSE(qtScreens->mainScreen());
  EXPECT_FALSE(qtScreens->displayIsBuiltin(1));
  const auto token = qtScreens->addParametersObserver([] {});
  qtScreens->removeObserver(token);
}

TEST_F(WindowServerTest, ReduceMotionIsScriptableAndOffOnLinuxByDefault) {
  EXPECT_FALSE(platform::workspace::displayOptions()->accessibilityDisplayShouldReduceMotion());
  machine().displayOptions->setReduceMotion(true);
  EXPECT_TRUE(platform::workspace::displayOptions()->accessibilityDisplayShouldReduceMotion());
  ::unsetenv("QUORVEL_REDUCE_MOTION");
  EXPECT_FALSE(platform::workspace::makeLinuxDisplayOptions()->accessibilityDisplayShouldReduceMotion());
}

}  // namespace
