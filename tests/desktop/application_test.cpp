// The real executable on a real X server, used as a person would: tray icon, panel, first-run
// tutorial, and Quit, which ends the process with status 0. Screenshots: the test output.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/defaults/defaults_linux.hpp"
#include "support/B_helpers.hpp"
#include "support/desktop_session.hpp"
#include "support/platform_fixture.hpp"

namespace quorvel::testing {
namespace {

// Every wait for the program or a helper: generous, for a loaded machine.
constexpr double kPatience = 60;
constexpr QRgb kBlack = 0xff000000;
constexpr QRgb kSwitchOn = 0xff007aff;
constexpr int kPanelWidth = 300;
// Between the icon and the panel hanging from it.
constexpr int kGapBelowIcon = 4;

class DesktopApplicationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quorvel-desktop-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    home_ = pattern;
    std::filesystem::create_directories(home_ + "/config/com.tessmin.quorvel");
    std::filesystem::create_directories(home_ + "/run");
    ::chmod((home_ + "/run").c_str(), 0700);
    display_ = std::make_unique<VirtualDisplay>();
    ASSERT_FALSE(display_->name().empty()) << "Xvfb did not start";
    bus_ = std::make_unique<PrivateBus>(home_);
    ASSERT_FALSE(bus_->address().empty()) << "dbus-daemon did not start";
  }
  void TearDown() override {
    app_.reset(), tray_.reset(), watcher_.reset(), bus_.reset(), display_.reset();
    removeTree(home_);
  }

  std::vector<std::string> environment() const {
    return {display_->environment(), bus_->environment(), "HOME=" + home_,
            "XDG_CONFIG_HOME=" + home_ + "/config", "XDG_DATA_HOME=" + home_ + "/data",
            "XDG_RUNTIME_DIR=" + home_ + "/run", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM=",
            // Under the leak sanitizer: fontconfig's caches, as in the tests' own processes.
            "LSAN_OPTIONS=suppressions=" QUORVEL_SOURCE_DIR "/tests/desktop/leaks.supp"};
  }

  platform::defaults::FileUserDefaults settings() const {
    return platform::defaults::FileUserDefaults(home_ + "/config/com.tessmin.quorvel/defaults.json");
  }

  // A desktop panel's StatusNotifierWatcher, running before the application starts.
  void startWatcher() {
    watcher_ = ChildProcess::start({"/usr/bin/python3", "-m", "dbusmock", "--session", "-t",
                                    QUORVEL_SOURCE_DIR "/tests/desktop/status_notifier_watcher.py",
                                    "-l", home_ + "/watcher.log"},
                                   environment(), home_ + "/watcher.out");
    ASSERT_TRUE(eventually([&] {
      return call("org.freedesktop.DBus", "/", {"org.freedesktop.DBus.NameHasOwner", "org.kde.StatusNotifierWatcher"})
                 .find("true") != std::string::npos;
    }, kPatience)) << "the mocked watcher did not start";
  }

  // The application, with `changes` to its environment.
  void launch(const std::vector<std::string>& changes = {}) {
    std::vector<std::string> variables = environment();
    variables.insert(variables.end(), changes.begin(), changes.end());
    app_ = ChildProcess::start({QUORVEL_BINARY_DIR "/quorvel"}, variables, home_ + "/quorvel.log");
    ASSERT_TRUE(app_);
  }

  std::string text(const std::string& name) const { return fileText(home_ + "/" + name); }
  bool logged(const std::string& line) const { return text("quorvel.log").find(line) != std::string::npos; }

  // The bus name under which the application registered its item with the watcher.
  std::string registeredItem() const {
    std::smatch match;
    const std::string log = text("watcher.log");
    static const std::regex registration("RegisterStatusNotifierItem \"(:[0-9.]+)\"");
    return std::regex_search(log, match, registration) ? match[1].str() : "";
  }

  std::string call(const std::string& dest, const std::string& path, std::vector<std::string> method) {
    std::vector<std::string> argv{"gdbus", "call", "--session", "--dest", dest, "--object-path", path, "--method"};
    argv.insert(argv.end(), method.begin(), method.end());
    std::string answer;
    runCommand(argv, environment(), 10, &answer);
    return answer;
  }
  // The host's click on the icon (with the pointer in a bar at the top of the screen).
  void activate(const std::string& item) {
    xdotool(display_->name(), {"mousemove", "900", "10"});
    call(item, "/StatusNotifierItem", {"org.kde.StatusNotifierItem.Activate", "900", "10"});
  }
  void clickAt(int x, int y) {
    xdotool(display_->name(), {"mousemove", std::to_string(x), std::to_string(y), "click", "1"});
  }

  QImage shot(const std::string& name) { return screenshot(display_->name(), "desktop-" + name); }

  // The panel's frame on `image`: a light 300-wide rectangle whose top left is `corner`.
  static int panelBottom(const QImage& image, QPoint corner) {
    // Along the left margin (no text there), where the rounded corner takes about a pixel.
    int y = corner.y() + 20;
    while (y < image.height() && qGray(image.pixel(corner.x() + 12, y)) > 150) ++y;
    return y;
  }
  static bool panelAt(const QImage& image, QPoint corner) {
    return qGray(image.pixel(corner.x() + 150, corner.y() + 3)) > 200 &&
           qGray(image.pixel(corner.x() + 3, corner.y() + 100)) > 200 &&
           pixelIs(image, corner.x() - 3, corner.y() + 100, kDesktopColour) &&
           pixelIs(image, corner.x() + 150, corner.y() - 3, kDesktopColour);
  }
  // The vertical centres of the switches drawn "on" in the panel at `corner`, top to bottom.
  static std::vector<int> switchesOn(const QImage& image, QPoint corner) {
    std::vector<int> centres;
    const int x = corner.x() + kPanelWidth - 14 - 22;  // inside the track, left of the knob
    for (int y = corner.y(), start = -1; y < panelBottom(image, corner); ++y) {
      const bool on = pixelIs(image, x, y, kSwitchOn, 30);
      if (on && start < 0) start = y;
      if (!on && start >= 0) {
        centres.push_back((start + y) / 2);
        start = -1;
      }
    }
    return centres;
  }

  std::string home_;
  std::unique_ptr<VirtualDisplay> display_;
  std::unique_ptr<PrivateBus> bus_;
  std::unique_ptr<ChildProcess> watcher_, tray_, app_;
};

TEST_F(DesktopApplicationTest, TheTrayItemOpensThePanelWhoseSwitchesWorkAndQuitEndsWithStatusZero) {
  settings().setBool("hasSeenWelcome", true);
  ASSERT_NO_FATAL_FAILURE(startWatcher());
  ASSERT_NO_FATAL_FAILURE(launch());
  ASSERT_TRUE(eventually([&] { return !registeredItem().empty(); }, kPatience)) << text("quorvel.log");
  const std::string item = registeredItem();

  // The host says nothing of where its icon is: the panel hangs under the pointer, kept on
  // the screen (300 wide: its right edge at the screen's).
  activate(item);
  const QPoint corner(display_->width() - kPanelWidth, 10 + 1 + 4);
  QImage open;
  ASSERT_TRUE(eventually([&] { return panelAt(open = shot("panel-open"), corner); }, kPatience));
  EXPECT_GT(panelBottom(open, corner) - corner.y(), 350);
  const auto before = switchesOn(open, corner);
  // Unlock, animation, hand, Dock on; login off.
  ASSERT_EQ(before.size(), 4u);

  // A click on "Play the notch animation" turns it off; the panel stays open and shows it.
  clickAt(corner.x() + 100, before[1]);
  EXPECT_TRUE(eventually([&] { return settings().persistentObject("playAnimation").has_value(); }, kPatience));
  EXPECT_FALSE(settings().boolForKey("playAnimation"));
  QImage toggled;
  EXPECT_TRUE(eventually([&] { return switchesOn(toggled = shot("panel-toggled"), corner).size() == 3; }, kPatience));
  EXPECT_EQ(switchesOn(toggled, corner), (std::vector<int>{before[0], before[2], before[3]}));

  xdotool(display_->name(), {"key", "Escape"});
  EXPECT_TRUE(eventually([&] { return pixelIs(shot("panel-closed"), corner.x() + 150, corner.y() + 3, kDesktopColour); }, kPatience));

  // Opened again and quit with a click on its last row: the process ends with status 0.
  activate(item);
  ASSERT_TRUE(eventually([&] { return panelAt(open = shot("panel-reopened"), corner); }, kPatience));
  clickAt(corner.x() + 100, panelBottom(open, corner) - 20);
  EXPECT_EQ(app_->wait(kPatience), std::optional<int>(0)) << text("quorvel.log");
}

TEST_F(DesktopApplicationTest, AnXEmbedTrayDocksTheIconWhichTogglesThePanelAndTheKeyboardQuits) {
  settings().setBool("hasSeenWelcome", true);
  tray_ = ChildProcess::start({"trayer", "--edge", "top", "--align", "right", "--widthtype",
                               "pixel", "--width", "96", "--height", "24", "--transparent",
                               "false", "--tint", "0x202020", "--SetDockType", "false"},
                              environment(), home_ + "/trayer.log");
  // The tray has taken the selection when its window is on the screen.
  ASSERT_TRUE(eventually([&] { return !pixelIs(shot("xembed-tray"), display_->width() - 40, 12, kDesktopColour); }, kPatience));
  ASSERT_NO_FATAL_FAILURE(launch());
  // The icon: white pixels in the tray.
  QRect icon;
  ASSERT_TRUE(eventually([&] {
    const QImage image = shot("xembed-icon");
    icon = boxOf(image.copy(display_->width() - 96, 0, 96, 24), 0xffffffff);
    return !icon.isEmpty();
  }, kPatience)) << text("quorvel.log");
  const QPoint centre(display_->width() - 96 + icon.center().x(), icon.center().y());
  const auto click = [&] { clickAt(centre.x(), centre.y()); };
  // The panel hangs under the icon, centred on it as far as the screen allows.
  const int left = std::min(centre.x() - kPanelWidth / 2, display_->width() - kPanelWidth);
  const auto panelShown = [&](const std::string& name) {
    return qGray(shot(name).pixel(left + 150, 24 + kGapBelowIcon + 3)) > 200;
  };
  // (A click while the tray still lays out its new icon finds nothing: click again then.)
  ASSERT_TRUE(eventually([&] {
    click();
    return eventually([&] { return panelShown("xembed-panel-open"); }, 10);
  }, kPatience));
  // A second click on the icon closes it; a third opens it again. Qt reports a press within
  // the double-click time of the last one (400 ms) as a double click, which the icon ignores:
  // the third click waits longer than that, as a person's would.
  click();
  EXPECT_TRUE(eventually([&] { return !panelShown("xembed-panel-closed"); }, kPatience));
  std::this_thread::sleep_for(std::chrono::seconds(1));
  click();
  ASSERT_TRUE(eventually([&] { return panelShown("xembed-panel-again"); }, kPatience));
  // Up selects the last row, "Quit Quorvel", and Return presses it.
  xdotool(display_->name(), {"key", "Up", "Return"});
  EXPECT_EQ(app_->wait(kPatience), std::optional<int>(0)) << text("quorvel.log");
}

TEST_F(DesktopApplicationTest, WithoutATrayTheFirstRunTutorialStillHangsFromTheTopOfTheScreen) {
  ASSERT_NO_FATAL_FAILURE(launch());
  // No watcher and no XEmbed tray: no status item, said once; the tutorial opens anyway,
  // 0.6 s after launching, its 300 x 176 panel at the top centre of the screen.
  QImage image;
  ASSERT_TRUE(eventually([&] { return notchPanelIs(image = shot("tutorial-welcome"), 300, 176); }, kPatience))
      << text("quorvel.log");
  EXPECT_TRUE(logged("No system tray: the status item is not shown"));
  // The panel's bottom corners are rounded (radius 26): the desktop shows there.
  const QRect welcome = boxOf(image, kBlack);
  EXPECT_TRUE(pixelIs(image, welcome.left() + 16, welcome.bottom(), kDesktopColour));
  EXPECT_TRUE(pixelIs(image, welcome.center().x(), welcome.bottom(), kBlack));
}

TEST_F(DesktopApplicationTest, WithoutADisplayTheApplicationSaysSoAndRunsOn) {
  ASSERT_NO_FATAL_FAILURE(launch({"DISPLAY="}));
  ASSERT_TRUE(eventually([&] { return logged("Quorvel started"); }, kPatience)) << text("quorvel.log");
  EXPECT_TRUE(logged("No display: the status item, windows and dialogs are not shown"));
  // It runs on: a second start is answered by it, and ends.
  auto second = ChildProcess::start({QUORVEL_BINARY_DIR "/quorvel"}, [&] {
    auto variables = environment();
    variables.push_back("DISPLAY=");
    return variables;
  }(), home_ + "/second.log");
  ASSERT_TRUE(second);
  EXPECT_EQ(second->wait(kPatience), std::optional<int>(0)) << text("second.log");
  EXPECT_TRUE(eventually([&] { return logged("Another start of Quorvel handed over to this one"); }, kPatience))
      << text("quorvel.log");
}

}  // namespace
}  // namespace quorvel::testing
