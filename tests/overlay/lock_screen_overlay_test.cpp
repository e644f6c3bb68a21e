#include "overlay/lock_screen_overlay.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "foundation/settings.hpp"
#include "overlay/unlock_animation_view.hpp"
#include "platform/windowserver/skylight_linux.hpp"
#include "support/A_images.hpp"
#include "support/platform_fixture.hpp"
#include "support/simulated_display.hpp"

namespace {

using quorvel::LockScreenOverlay;
using quorvel::OverlayWindow;
using quorvel::UnlockAnimationModel;
using quorvel::UnlockAnimationView;
using quorvel::testing::machine;
using quorvel::testing::PlatformTest;
namespace sim = quorvel::testing;
namespace ws = platform::windowserver;

constexpr const char* kPlacement =
    "window={{596, 782}, {320, 200}} screen={{0, 0}, {1512, 982}} notch=188.0x32.0 "
    "hasNotch=true hostingFrame={{0, 0}, {320, 200}}";

class LockScreenOverlayTest : public PlatformTest {
 protected:
  LockScreenOverlay& overlay() { return LockScreenOverlay::shared(); }

  OverlayWindow* panel() {
    const auto numbers = machine().windows->windowNumbers();
    if (numbers.empty()) return nullptr;
    EXPECT_EQ(numbers.size(), 1u);
    return dynamic_cast<OverlayWindow*>(machine().windows->panel(numbers.front()));
  }
  std::shared_ptr<UnlockAnimationView> view() {
    auto* p = panel();
    if (!p || !p->contentView()) return nullptr;
    return std::dynamic_pointer_cast<UnlockAnimationView>(p->contentView()->rootView());
  }
  UnlockAnimationModel& model() { return *view()->model(); }

  std::vector<std::string> overlayLogs() { return logs().messages("overlay"); }
  bool logged(const std::string& line) { return std::ranges::count(overlayLogs(), line) > 0; }
  int countCalls(const std::string& prefix) {
    int n = 0;
    for (const auto& call : machine().skyLight->calls()) n += call.rfind(prefix, 0) == 0;
    return n;
  }
  // Shown: begin scanning and let the 0.3 s presentation step run.
  void showScanning() {
    overlay().beginScanning();
    advance(0.3);
  }
  // Prepares the panel and has the window server report it at `bounds`; gives its number.
  std::uint32_t prepareAtServerBounds(const platform::Rect& bounds) {
    overlay().prepare();
    const auto number = static_cast<std::uint32_t>(panel()->windowNumber());
    machine().windowList->setBounds(number, bounds);
    return number;
  }
  // The overlay's log lines that start with `prefix`, each cut from there to its first
  // `until`.
  std::vector<std::string> linesFrom(const std::string& prefix, char until) {
    std::vector<std::string> found;
    for (const auto& line : overlayLogs()) {
      if (line.rfind(prefix, 0) == 0) {
        found.push_back(line.substr(prefix.size(), line.find(until) - prefix.size()));
      }
    }
    return found;
  }
};

TEST_F(LockScreenOverlayTest, WithoutSkyLightNothingIsEverShown) {
  sim::removeSkyLight();
  EXPECT_FALSE(overlay().available());
  EXPECT_EQ(overlayLogs(), std::vector<std::string>{"SkyLight unavailable; animation disabled"});
  EXPECT_EQ(logs().entries().front().level, platform::log::Level::Error);
  overlay().prepare();
  overlay().beginScanning();
  advance(1.0);
  overlay().showSuccess();
  overlay().showFailure("No");
  overlay().showCancelled("No");
  overlay().confirmUnlocked();
  overlay().hide();
  advance(5.0);
  EXPECT_EQ(panel(), nullptr);
  EXPECT_EQ(overlayLogs().size(), 1u);
  EXPECT_EQ(overlay().lastPlacement(), "nothing placed yet");
}

TEST_F(LockScreenOverlayTest, AMissingRequiredSymbolStopsTheLookupThere) {
  machine().skyLight->removeSymbol("SLSShowSpaces");
  EXPECT_FALSE(overlay().available());
  EXPECT_EQ(overlayLogs(),
            std::vector<std::string>{"SkyLight symbols missing; animation disabled"});
  EXPECT_EQ(machine().skyLight->lookups().back(), "SLSShowSpaces");
  EXPECT_TRUE(machine().skyLight->calls().empty());
}

TEST_F(LockScreenOverlayTest, MissingTransformFunctionsAreAllowed) {
  machine().skyLight->removeSymbol("SLSGetWindowTransform");
  machine().skyLight->removeSymbol("SLSSetWindowTransform");
  machine().windowList->setBounds(101, platform::Rect(700, 50, 320, 200));
  EXPECT_TRUE(overlay().available());
  showScanning();
  EXPECT_EQ(panel()->alphaValue(), 1);
  // The transform check is skipped without them.
  advance(3.0);
  EXPECT_EQ(countCalls("SLSGetWindowTransform"), 0);
}

// The space at level 400 first; then the panel, registered at prepare and shown by a scan.
TEST_F(LockScreenOverlayTest, SetsUpItsSpaceThenPreparesTheClickThroughPanelThatScanningShows) {
  EXPECT_TRUE(overlay().available());
  EXPECT_EQ(overlay().lastPlacement(), "nothing placed yet");
  EXPECT_EQ(machine().loader->opens(),
            (std::vector<std::pair<std::string, int>>{{ws::kSkyLightPath, ws::kRTLDNow}}));
  EXPECT_EQ(machine().skyLight->calls(),
            (std::vector<std::string>{"SLSMainConnectionID() -> 7001",
                                      "SLSSpaceCreate(7001, 1, 0) -> 57",
                                      "SLSSpaceSetAbsoluteLevel(7001, 57, 400)",
                                      "SLSShowSpaces(7001, [57])"}));
  EXPECT_EQ(overlayLogs(), std::vector<std::string>{"SkyLight space ready at level 400"});
  EXPECT_EQ(logs().entries().front().level, platform::log::Level::Info);
  EXPECT_EQ(panel(), nullptr);  // no panel before prepare or a presentation

  overlay().prepare();
  auto* p = panel();
  ASSERT_NE(p, nullptr);
  // A transparent, click-through panel above everything, shown without a login, never key.
  EXPECT_EQ(p->frame(), platform::Rect(596, 782, 320, 200));
  EXPECT_FALSE(p->isOpaque);
  EXPECT_EQ(p->backgroundColor, platform::windows::Color::clear());
  EXPECT_EQ(p->alphaValue(), 0);
  EXPECT_FALSE(p->hasShadow);
  EXPECT_TRUE(p->ignoresMouseEvents);
  EXPECT_TRUE(p->canBecomeVisibleWithoutLogin);
  EXPECT_EQ(p->level, 2147483645);
  EXPECT_EQ(p->collectionBehavior, 262481u);
  EXPECT_FALSE(p->canBecomeKeyWindow());
  EXPECT_TRUE(p->isVisible());
  ASSERT_TRUE(view());
  EXPECT_EQ(view()->notch(), quorvel::NotchGeometry(188, 32, true));

  EXPECT_EQ(machine().skyLight->addedWindows(),
            (std::vector<std::pair<std::int32_t, std::int64_t>>{{57, p->windowNumber()}}));
  EXPECT_EQ(machine().skyLight->calls().back(),
            "SLSSpaceAddWindowsAndRemoveFromSpaces(7001, 57, [" +
                std::to_string(p->windowNumber()) + "], 7)");
  EXPECT_TRUE(logged("Overlay registration issued window=" + std::to_string(p->windowNumber()) +
                     " space=57"));
  EXPECT_TRUE(logged("Overlay canvas registered before any lock"));
  // Ordered in before the add, and again after.
  const auto events = machine().windows->events();
  EXPECT_EQ(std::count(events.begin(), events.end(), "front " + std::to_string(p->windowNumber())),
            2);
  // Only once: the same panel.
  overlay().prepare();
  EXPECT_EQ(panel(), p);

  // Scanning shows it on the built-in screen after a delay.
  overlay().beginScanning();
  advance(0.29);
  EXPECT_EQ(p->alphaValue(), 0);
  EXPECT_DOUBLE_EQ(model().panelProgress.value(), 0);
  advance(0.01);
  EXPECT_EQ(p->alphaValue(), 1);
  EXPECT_EQ(overlay().lastPlacement(), kPlacement);
  EXPECT_TRUE(logged(std::string("Persistent overlay shown: ") + kPlacement));
  EXPECT_DOUBLE_EQ(model().panelProgress.value(), 1);  // the model began
  EXPECT_EQ(machine().screens->observerCount(), 1u);
  // The shown panel draws the scan over the housing.
  advance(1.0);
  const QImage image = panel()->contentView()->render(2);
  // Open panel for the 188 x 32 housing: 250 x 96 hanging from the top, centred.
  EXPECT_EQ(image.pixelColor(2 * 50, 2 * 40).alpha(), 255);
  EXPECT_EQ(image.pixelColor(2 * 50, 2 * 40).red(), 0);
  EXPECT_EQ(image.pixelColor(2 * 160, 2 * 120).alpha(), 0);
  EXPECT_GT(sim::countPixels(image, sim::isGreenHue), 100);  // the face is being scanned
}

TEST_F(LockScreenOverlayTest, NoScreenAtAllMakesAndShowsNothing) {
  sim::useNoScreen();
  overlay().prepare();
  EXPECT_EQ(panel(), nullptr);
  showScanning();
  advance(3.0);
  EXPECT_EQ(panel(), nullptr);
  EXPECT_EQ(overlay().lastPlacement(), "nothing placed yet");
}

TEST_F(LockScreenOverlayTest, EndingsWithoutAPresentationOrWithTheAnimationOffPlayNothing) {
  overlay().prepare();
  int changes = 0;
  model().subscribe([&](const auto&) { ++changes; });
  overlay().showSuccess();
  overlay().showCancelled("Cancelled");
  advance(5.0);
  EXPECT_EQ(changes, 0);

  quorvel::Settings::shared().setPlayAnimation(false);
  overlay().beginScanning();
  advance(0.5);
  overlay().showSuccess();
  overlay().showFailure("No");
  advance(5.0);
  EXPECT_EQ(panel()->alphaValue(), 0);
  EXPECT_EQ(changes, 0);
  EXPECT_EQ(overlay().lastPlacement(), "nothing placed yet");
}

TEST_F(LockScreenOverlayTest, HideWithinTheDelayCancelsThePresentation) {
  overlay().prepare();
  int changes = 0;
  model().subscribe([&](const auto&) { ++changes; });
  machine().windows->clearEvents();
  overlay().beginScanning();
  advance(0.1);
  overlay().hide();
  advance(3.0);
  const std::string shown = "alpha " + std::to_string(panel()->windowNumber()) + " 1";
  for (const auto& event : machine().windows->events()) EXPECT_NE(event, shown);
  EXPECT_EQ(panel()->alphaValue(), 0);
  // The tear-down resets the model; begin() never ran, so the panel never opened.
  EXPECT_DOUBLE_EQ(model().panelProgress.value(), 0);
  EXPECT_EQ(overlay().lastPlacement(), "nothing placed yet");

  // Even a hide right after the request, in the same turn, wins.
  overlay().beginScanning();
  overlay().hide();
  advance(1.0);
  EXPECT_EQ(panel()->alphaValue(), 0);
}

TEST_F(LockScreenOverlayTest, SuccessRoadEndsInATearDownThatEndsTracking) {
  showScanning();
  advance(1.0);
  overlay().showSuccess();
  runUntilIdle();
  EXPECT_DOUBLE_EQ(model().tickProgress.value(), 0);
  advance(0.2);
  EXPECT_DOUBLE_EQ(model().tickProgress.value(), 1);
  overlay().confirmUnlocked();
  advance(0.75);
  EXPECT_EQ(panel()->alphaValue(), 1);  // still closing
  advance(0.02);
  EXPECT_EQ(panel()->alphaValue(), 0);
  EXPECT_DOUBLE_EQ(model().panelProgress.value(), 0);
  // Tracking ended with the presentation: no correction, no bounds log.
  EXPECT_EQ(machine().screens->observerCount(), 0u);
  const auto count = overlayLogs().size();
  const auto closed = view();
  machine().screens->updateScreen(sim::kBuiltInDisplay, sim::builtInScreenWithHousing(200, 38));
  machine().screens->postParametersChanged();
  advance(3.0);
  EXPECT_EQ(overlayLogs().size(), count);
  // The panel stays registered and ordered in for the next presentation, which measures the
  // changed housing again and rebuilds the view for it.
  EXPECT_TRUE(panel()->isVisible());
  showScanning();
  EXPECT_EQ(panel()->alphaValue(), 1);
  EXPECT_EQ(machine().skyLight->addedWindows().size(), 1u);
  EXPECT_NE(view(), closed);
  EXPECT_EQ(view()->notch(), quorvel::NotchGeometry(200, 38, true));
  EXPECT_NE(overlay().lastPlacement().find(" notch=200.0x38.0 hasNotch=true "), std::string::npos);
}

TEST_F(LockScreenOverlayTest, FailureAndCancelTearDownWhenTheirAnimationEnds) {
  showScanning();
  advance(1.0);
  overlay().showCancelled("Cancelled");
  runUntilIdle();
  EXPECT_EQ(model().glyph.value(), UnlockAnimationModel::Glyph::palm);
  EXPECT_EQ(model().message.value(), std::optional<std::string>("Cancelled"));
  advance(2.2);
  EXPECT_EQ(panel()->alphaValue(), 1);
  advance(0.02);
  EXPECT_EQ(panel()->alphaValue(), 0);

  showScanning();
  advance(1.0);
  overlay().showFailure("Face not recognised");
  advance(2.3);
  EXPECT_EQ(panel()->alphaValue(), 0);
  EXPECT_FALSE(model().message.value());
}

TEST_F(LockScreenOverlayTest, EndingsAndCompletionsOfAnOldPresentationLeaveANewOneAlone) {
  showScanning();
  overlay().showSuccess();  // posted for this presentation
  overlay().beginScanning();  // a new one before the post runs
  runUntilIdle();
  advance(1.0);
  EXPECT_DOUBLE_EQ(model().tickProgress.value(), 0);
  overlay().showFailure("No");
  advance(2.0);  // the failure completes 2.21 s after it began
  overlay().beginScanning();
  advance(0.25);  // its completion arrives now, for the old generation
  EXPECT_EQ(panel()->alphaValue(), 1);
  advance(0.05);
  EXPECT_DOUBLE_EQ(model().panelProgress.value(), 1);
  EXPECT_EQ(machine().screens->observerCount(), 1u);
  advance(5.0);
  EXPECT_EQ(panel()->alphaValue(), 1);  // still scanning
}

TEST_F(LockScreenOverlayTest, ServerBoundsOffByMoreResetTheTransformOnceAndAFailedWriteIsLogged) {
  const auto number = prepareAtServerBounds(platform::Rect(596, 1.5, 320, 200));
  const std::string reset =
      "Overlay presentation reset: scale=1.000000,1.000000 translation=0.000000,0.000000 "
      "expected=596.000000,0.000000 status=";
  machine().skyLight->setSetTransformStatus(1001);
  showScanning();
  EXPECT_TRUE(logged(reset + "1001"));
  EXPECT_EQ(panel()->alphaValue(), 1);
  overlay().hide();
  runUntilIdle();

  machine().skyLight->setSetTransformStatus(0);
  showScanning();
  EXPECT_EQ(machine().skyLight->transform(number), platform::AffineTransform::translation(-596, 0));
  EXPECT_TRUE(logged(reset + "0"));
  // The re-checks find the transform already right and write nothing more.
  const int writes = machine().skyLight->setTransformCount();
  advance(3.0);
  EXPECT_EQ(machine().skyLight->setTransformCount(), writes);
  EXPECT_GE(countCalls("SLSGetWindowTransform"), 5);
}

// Without a built-in screen the main one is used.
TEST_F(LockScreenOverlayTest, ExpectedServerPlaceAllowsForTheScreensOrigin) {
  // The external screen, right of the primary and raised 200 points, is the only candidate.
  auto raised = sim::externalScreen();
  raised.frame = platform::Rect(1512, 200, 1920, 1080);
  machine().screens->setScreens({sim::builtInScreen(), raised});
  machine().screens->setMainIndex(1);
  machine().screens->setBuiltinDisplays({});
  overlay().prepare();
  const auto number = static_cast<std::uint32_t>(panel()->windowNumber());
  // The server reports the panel where it belongs: the display's top-left is (1512, -298).
  showScanning();
  advance(3.0);
  EXPECT_EQ(panel()->frame(), platform::Rect(2312, 1080, 320, 200));
  EXPECT_EQ(overlay().lastPlacement(),
            "window={{2312, 1080}, {320, 200}} screen={{1512, 200}, {1920, 1080}} "
            "notch=180.0x8.0 hasNotch=false hostingFrame={{0, 0}, {320, 200}}");
  EXPECT_EQ(view()->notch(), quorvel::NotchGeometry(180, 8, false));
  EXPECT_EQ(countCalls("SLSGetWindowTransform"), 0);
  overlay().hide();
  runUntilIdle();

  machine().windowList->setBounds(number, platform::Rect(2312, -296.5, 320, 200));
  showScanning();
  EXPECT_EQ(machine().skyLight->transform(number),
            platform::AffineTransform::translation(-2312, 298));
  EXPECT_TRUE(logged(
      "Overlay presentation reset: scale=1.000000,1.000000 translation=0.000000,0.000000 "
      "expected=2312.000000,-298.000000 status=0"));
}

TEST_F(LockScreenOverlayTest,
       UnreadableBoundsSkipTheCheckAndARightOrUnreadableTransformWritesNothing) {
  using Failure = ws::SimulatedWindowList::Failure;
  for (Failure failure : {Failure::noList, Failure::noEntry, Failure::noBounds, Failure::badBounds}) {
    machine().windowList->setFailure(failure);
    showScanning();
    advance(1.0);
    overlay().hide();
    runUntilIdle();
  }
  EXPECT_EQ(countCalls("SLSGetWindowTransform"), 0);
  EXPECT_TRUE(logged("Server bounds unavailable at 0.400000s"));
  EXPECT_EQ(machine().windowList->lastOptions().front(), ws::window_list_option::includingWindow);

  machine().windowList->setFailure(Failure::none);
  const auto number = prepareAtServerBounds(platform::Rect(597.5, 0, 320, 200));
  machine().skyLight->setTransform(number, {1.00005, 0, 0, 0.99995, -596.005, 0.005});
  showScanning();
  EXPECT_EQ(countCalls("SLSGetWindowTransform"), 1);
  EXPECT_EQ(machine().skyLight->setTransformCount(), 0);

  machine().skyLight->setTransform(number, {1, 0, 0, 1, 0, 0});
  machine().skyLight->setGetTransformStatus(-1);
  advance(3.0);
  EXPECT_EQ(machine().skyLight->setTransformCount(), 0);
}

TEST_F(LockScreenOverlayTest, ReChecksRebuildTheViewForANewHousingAtTheirOwnDelays) {
  showScanning();
  const double shownAt = now();
  const auto first = view();
  machine().windows->clearEvents();
  // The housing changes shortly before each re-check, so each one has something to correct.
  std::vector<std::string> expected;
  double height = 32;
  for (const std::string delay : {"0.25", "0.6", "1.2", "2.0"}) {
    height += 2;
    machine().screens->updateScreen(sim::kBuiltInDisplay, sim::builtInScreenWithHousing(188, height));
    advance(shownAt + std::stod(delay) - 0.01 - now());
    EXPECT_EQ(linesFrom("Overlay corrected (", ')'), expected) << "before " << delay;
    advance(0.02);
    expected.push_back("re-check at " + delay + "s");
    EXPECT_EQ(linesFrom("Overlay corrected (", ')'), expected);
    EXPECT_EQ(view()->notch(), quorvel::NotchGeometry(188, height, true));
  }
  EXPECT_TRUE(logged(
      "Overlay corrected (re-check at 0.25s): {{596, 782}, {320, 200}} -> {{596, 782}, {320, "
      "200}} notch 188.000000x32.000000 -> 188.000000x34.000000 screen={{0, 0}, {1512, 982}}"));
  // A new view around the same model; the frame was right, so it was not set again.
  EXPECT_NE(view(), first);
  EXPECT_EQ(view()->model(), first->model());
  for (const auto& event : machine().windows->events()) EXPECT_NE(event.rfind("frame", 0), 0u);

  // Shown again with nothing changed: the re-checks correct nothing. The window server's
  // bounds are logged 0.4 and 1.2 s after showing; within a point they need no correction.
  const auto number = static_cast<std::uint32_t>(panel()->windowNumber());
  machine().windowList->setBounds(number, platform::Rect(596.5, 0.5, 320.5, 200.5));
  showScanning();
  const double again = now();
  for (const std::string at : {"0.400000s", "1.200000s"}) {
    const std::string line = "Server bounds at " + at +
                             ": {{596.5, 0.5}, {320.5, 200.5}} (top-left origin) vs NSWindow.frame "
                             "{{596, 782}, {320, 200}} (bottom-left) screen={{0, 0}, {1512, 982}}";
    advance(again + std::stod(at) - 0.01 - now());
    EXPECT_FALSE(logged(line));
    advance(0.02);
    EXPECT_TRUE(logged(line));
  }
  advance(1.0);
  EXPECT_EQ(linesFrom("Overlay corrected (", ')').size(), 4u);
  EXPECT_EQ(countCalls("SLSGetWindowTransform"), 0);
  EXPECT_EQ(countCalls("SLSSetWindowTransform"), 0);
}

TEST_F(LockScreenOverlayTest, AScreenChangeNotificationCorrectsTheFrameWithoutRebuilding) {
  showScanning();
  advance(2.5);  // past every re-check
  const auto before = view();
  auto bigger = sim::builtInScreen();
  bigger.frame = platform::Rect(0, 0, 1800, 1169);
  bigger.auxiliaryTopLeftArea = platform::Rect(0, 1137, 806, 32);
  bigger.auxiliaryTopRightArea = platform::Rect(994, 1137, 806, 32);
  machine().screens->updateScreen(sim::kBuiltInDisplay, bigger);
  machine().windows->clearEvents();
  machine().screens->postParametersChanged();
  runUntilIdle();
  EXPECT_TRUE(logged(
      "Overlay corrected (screens changed): {{596, 782}, {320, 200}} -> {{740, 969}, {320, "
      "200}} notch 188.000000x32.000000 -> 188.000000x32.000000 screen={{0, 0}, {1800, 1169}}"));
  EXPECT_EQ(panel()->frame(), platform::Rect(740, 969, 320, 200));
  EXPECT_EQ(view(), before);
  const auto events = machine().windows->events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.front(), "frame " + std::to_string(panel()->windowNumber()) +
                                " {{740, 969}, {320, 200}} display=true");
}

TEST(OverlayWindowRegistrationTest, RegistersOnceAndRetriesAfterAFailure) {
  quorvel::OverlayWindowRegistration registration;
  std::vector<std::string> ran;
  // One registration attempt whose add answers `status`.
  const auto ensure = [&](int status) {
    return registration.ensure([&] { ran.push_back("before"); },
                               [&] {
                                 ran.push_back("add");
                                 return status;
                               });
  };
  EXPECT_FALSE(ensure(-1));
  EXPECT_FALSE(registration.isRegistered);
  EXPECT_TRUE(ensure(0));
  EXPECT_TRUE(registration.isRegistered);
  EXPECT_TRUE(ensure(-1));
  EXPECT_EQ(ran, (std::vector<std::string>{"before", "add", "before", "add"}));
}

}  // namespace
