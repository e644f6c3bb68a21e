#include "platform/screens/screens_linux.hpp"
#include "platform/windows/windows.hpp"
#include "platform/windowserver/lock_screen_space_linux.hpp"
#include "platform/windowserver/simulated_window_list.hpp"
#include "platform/windowserver/window_list_linux.hpp"
#include "platform/windowserver/skylight_linux.hpp"
#include "platform/workspace/display_options_linux.hpp"
#include "support/platform_fixture.hpp"
#include "support/simulated_display.hpp"

// After the log header: Qt defines keyword macros.
#include <QGuiApplication>
#include <QImage>

namespace {

using quorvel::testing::machine;
using quorvel::testing::PlatformTest;
namespace ws = platform::windowserver;
namespace sim = quorvel::testing;

class WindowServerTest : public PlatformTest {};

TEST_F(WindowServerTest, LinuxLoaderOpensRealLibrariesAndFailsOnTheFrameworkPathWithoutARoad) {
  ::unsetenv("WAYLAND_DISPLAY");
  ::unsetenv("WAYLAND_SOCKET");
  auto loader = ws::makeLinuxLoader();
  EXPECT_EQ(loader->open(ws::kSkyLightPath, ws::kRTLDNow), nullptr);
  EXPECT_EQ(loader->lastError(),
            "no road above the lock screen: KDE Plasma lock-screen overlay: no Wayland compositor in this "
            "session (WAYLAND_DISPLAY is not set); GNOME Shell lock-screen overlay: cannot ask the session bus "
            "for GNOME Shell (not connected)");
  EXPECT_TRUE(logs().contains("No road above the lock screen: KDE Plasma lock-screen overlay: no Wayland"));
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

// A road of the test's own: what it was asked, and whether it opens.
class RecordingRoad : public ws::LockScreenRoad {
 public:
  RecordingRoad(std::string name, bool opens, std::vector<std::string>* journal)
      : name_(std::move(name)), opens_(opens), journal_(journal) {}
  std::string name() const override { return name_; }
  bool open(std::string* whyNot) override {
    journal_->push_back("open " + name_);
    if (!opens_) *whyNot = "not here";
    return opens_;
  }
  void show(const QImage& frame, const platform::Rect& placement) override {
    journal_->push_back("show " + std::to_string(frame.width()) + "x" + std::to_string(frame.height()) + " at " +
                        platform::windows::stringFromRect(placement));
    shown_ = placement;
  }
  void hide() override {
    journal_->push_back("hide");
    shown_.reset();
  }
  std::optional<platform::Rect> shownBounds() const override { return shown_; }
  double frameInterval() const override { return 0.1; }

 private:
  std::string name_;
  bool opens_;
  std::vector<std::string>* journal_;
  std::optional<platform::Rect> shown_;
};

TEST_F(WindowServerTest, TheSessionsDesktopsRoadsAreTriedFirstAndTheFirstThatOpensIsTaken) {
  std::vector<std::string> journal;
  const auto road = [&](std::string name, std::vector<std::string> desktops, bool opens) {
    return ws::LockScreenRoadFactory{std::move(desktops), [&journal, name, opens] {
                                       return std::make_unique<RecordingRoad>(name, opens, &journal);
                                     }};
  };
  const std::vector<ws::LockScreenRoadFactory> roads{road("A", {"KDE"}, false), road("B", {"GNOME"}, true),
                                                     road("C", {"X-Cinnamon"}, true)};
  std::string why;
  auto chosen = ws::openLockScreenRoad(roads, "X-Cinnamon:GNOME", &why);
  ASSERT_TRUE(chosen);
  EXPECT_EQ(chosen->name(), "C");
  EXPECT_EQ(journal, std::vector<std::string>{"open C"});

  journal.clear();
  EXPECT_EQ(ws::openLockScreenRoad(roads, "", &why)->name(), "B");
  EXPECT_EQ(journal, (std::vector<std::string>{"open A", "open B"}));
  EXPECT_FALSE(ws::openLockScreenRoad({road("A", {"KDE"}, false), road("D", {}, false)}, "KDE", &why));
  EXPECT_EQ(why, "A: not here; D: not here");
  EXPECT_FALSE(ws::openLockScreenRoad({}, "KDE", &why));
  EXPECT_EQ(why, "no road is known for this desktop");
}

// A panel moved into the space leaves the display; while it is ordered in with a non-zero
// alpha the road gets its frames at the road's pace, at its place; alpha 0, removal or its end
// hide it.
TEST_F(WindowServerTest, TheSpaceShowsItsPanelThroughTheRoadWhileThePanelIsShown) {
  std::vector<std::string> journal;
  auto space = ws::makeLockScreenSpace(std::make_unique<RecordingRoad>("road", true, &journal));
  ASSERT_TRUE(space);
  for (const char* name : {"SLSGetWindowTransform", "SLSSetWindowTransform"}) EXPECT_EQ(space->symbol(name), nullptr);
  const auto create = ws::functionCast<ws::skylight::SpaceCreate>(space->symbol("SLSSpaceCreate"));
  const auto add = ws::functionCast<ws::skylight::SpaceAddWindowsAndRemoveFromSpaces>(
      space->symbol("SLSSpaceAddWindowsAndRemoveFromSpaces"));
  const auto remove = ws::functionCast<ws::skylight::RemoveWindowsFromSpaces>(space->symbol("SLSRemoveWindowsFromSpaces"));
  ASSERT_TRUE(create && add && remove && space->symbol("SLSMainConnectionID") && space->symbol("SLSShowSpaces") &&
              space->symbol("SLSSpaceSetAbsoluteLevel"));

  auto panel = std::make_unique<platform::windows::Panel>(platform::Rect(10, 20, 32, 16), 0,
                                                          platform::windows::BackingStore::buffered, false);
  panel->setContentView(std::make_shared<platform::windows::HostingView>(nullptr));
  panel->setAlphaValue(0);
  panel->orderFrontRegardless();
  const auto number = panel->windowNumber();
  const ws::NumberArray windows{number};
  add(1, create(1, 1, 0), &windows, 7);
  machine().windows->clearEvents();
  const std::string place = platform::windows::stringFromRect(platform::screens::flippedForWindowSystem(panel->frame()));
  auto list = ws::makeLinuxWindowList();
  EXPECT_EQ(list->copyWindowInfo(ws::window_list_option::includingWindow, number), std::nullopt);

  panel->setAlphaValue(1);
  advance(0.25);
  EXPECT_EQ(journal, std::vector<std::string>(3, "show 32x16 at " + place)) << "at once, then every 0.1 s";
  const auto info = list->copyWindowInfo(ws::window_list_option::includingWindow, number);
  ASSERT_TRUE(info && info->size() == 1 && info->front().bounds);
  EXPECT_EQ(ws::rectFromDictionaryRepresentation(*info->front().bounds), platform::screens::flippedForWindowSystem(panel->frame()));
  panel->setAlphaValue(0);
  advance(1);
  EXPECT_EQ(journal.back(), "hide");
  EXPECT_EQ(journal.size(), 4u);
  EXPECT_TRUE(machine().windows->events().empty()) << "the display never shows the panel";

  panel->setAlphaValue(1);
  EXPECT_EQ(remove(1, &windows, nullptr), 0);
  EXPECT_EQ(journal.back(), "hide");
  panel->setAlphaValue(0.5);  // the display's again
  EXPECT_EQ(machine().windows->events().back(), "alpha " + std::to_string(number) + " 0.5");
  add(1, 1, &windows, 7);
  panel->setAlphaValue(1);
  panel.reset();
  EXPECT_EQ(journal.back(), "hide");
  advance(1);
  EXPECT_EQ(journal.back(), "hide") << "no frame after the panel's end";
}

}  // namespace
