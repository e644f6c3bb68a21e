// GNOME Shell's road above its lock screen, with the shipped program: a nested gnome-shell
// (support/nested_gnome_shell.hpp) that logind locks, the program's extension installed from
// the built bundle by scripts/install-gnome-extension and switched on and off with
// `gnome-extensions` (its service on the test's bus), screenshots of the shell's screen. The
// panel shows above the lock curtain and the password dialog while an attempt runs (the
// camera plays empty frames, so the attempt waits for a face) and while --preview-animation
// plays; clicks and keys go through it to the lock screen; it goes when the attempt ends, when
// the program ends, and when the extension is switched off, and the program then says where
// the road ends and what to run. The extension refuses malformed frames.
#include <gtest/gtest.h>

#include <QBuffer>

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "coordinator/coordinator_fixture.hpp"
#include "platform/capture/capture_linux.hpp"
#include "platform/defaults/defaults_linux.hpp"
#include "platform/files/files_linux.hpp"
#include "platform/keychain/file_keychain.hpp"
#include "platform/shared.hpp"
#include "platform/windowserver/lock_screen_road_gnome.hpp"
#include "support/B_helpers.hpp"
#include "support/desktop_session.hpp"
#include "support/nested_gnome_shell.hpp"
#include "support/session_buses.hpp"

namespace quorvel::testing {
namespace {

constexpr const char* kUuid = "quorvel-overlay@tessmin.com";
constexpr const char* kAvailable = "yes   Animation can draw over lock screen";
constexpr const char* kUnavailable = " no   Animation can draw over lock screen";
const std::vector<std::string> kWithoutPamWrapper{"LD_PRELOAD=", "PAM_WRAPPER="};

// The nested shell's screen is 800 x 600 at the top left of the X server's; the panel hangs
// from its top centre: an open body 250 wide and 72 high, the face glyph in its lower part.
constexpr int kCentre = 400;

int greenPixels(const QImage& shot) { return panelGreenPixels(shot, kCentre); }
bool panelShown(const QImage& shot) {
  return pixelIs(shot, kCentre - 110, 4, 0xff000000) && pixelIs(shot, kCentre + 110, 4, 0xff000000) &&
         greenPixels(shot) > 30;
}
// The lock screen's own picture around the panel: its curtain or dialog, not black.
bool lockScreenAround(const QImage& shot) { return !pixelIs(shot, 100, 300, 0xff000000, 30); }

class GnomeShellOverlayTest : public CoordinatorTest {
 protected:
  void SetUp() override {
    CoordinatorTest::SetUp();
    buses_ = std::make_unique<SessionBuses>(home() + "/session");
    ASSERT_TRUE(buses_->startSystemBus() && buses_->startSessionBus() && buses_->startLogind());
    buses_->addSession(kOwnSession, static_cast<std::uint32_t>(::getuid()));
    shell_ = std::make_unique<NestedGnomeShell>(*buses_, home() + "/gnome");
    std::string output;
    // Its errors go to the output too, for the failure message.
    ASSERT_EQ(runCommand({"sh", "-c", "exec \"$0\" \"$1\" 2>&1", QUORVEL_SOURCE_DIR "/scripts/install-gnome-extension",
                          QUORVEL_BINARY_DIR "/Quorvel.bundle/Resources/gnome-shell-extension"},
                         {"XDG_DATA_HOME=" + shell_->home() + "/.local/share"}, 20, &output),
              0)
        << output;
    ASSERT_TRUE(shell_->start()) << shell_->failure();
    ASSERT_TRUE(extensions("enable"));
  }
  void TearDown() override {
    program_.reset();
    extensionsService_.reset();
    shell_.reset();
    CoordinatorTest::TearDown();
    buses_.reset();
  }

  // `gnome-extensions <verb> quorvel-overlay@tessmin.com` against the nested shell, through the
  // service behind it, which a desktop's bus starts when asked for (and which ends when idle).
  bool extensions(const std::string& verb) {
    const auto owned = buses_->call(false, {"org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                            "NameHasOwner", "s", "org.gnome.Shell.Extensions"});
    if (!owned || owned->find("true") == std::string::npos) {
      extensionsService_.reset();
      auto environment = shell_->clientEnvironment();
      environment.insert(environment.end(), kWithoutPamWrapper.begin(), kWithoutPamWrapper.end());
      extensionsService_ = ChildProcess::start({"gjs", "/usr/share/gnome-shell/org.gnome.Shell.Extensions"},
                                               environment, home() + "/extensions-service.log");
    }
    EXPECT_TRUE(extensionsService_ && buses_->waitForName(false, "org.gnome.Shell.Extensions"))
        << fileText(home() + "/extensions-service.log");
    std::string output;
    const int status =
        runCommand({"sh", "-c", "gnome-extensions \"$0\" \"$1\" 2>&1", verb, kUuid}, kWithoutPamWrapper, 20, &output);
    EXPECT_EQ(status, 0) << output;
    return status == 0;
  }

  std::vector<std::string> programEnvironment() {
    auto environment = shell_->clientEnvironment();
    environment.insert(environment.end(), {"HOME=" + home(), "XDG_CONFIG_HOME=" + home() + "/config",
                                           "XDG_DATA_HOME=" + home() + "/data", "QT_QPA_PLATFORM="});
    environment.insert(environment.end(), kWithoutPamWrapper.begin(), kWithoutPamWrapper.end());
    return environment;
  }
  // The readiness list, with the log (standard error) among it.
  std::string check() {
    std::string output;
    EXPECT_EQ(runCommand({"sh", "-c", "\"$0\" --check 2>&1", QUORVEL_BINARY_DIR "/quorvel"}, programEnvironment(), 60,
                         &output),
              0);
    return output;
  }
  // The shipped program in the session, its output in `log_`.
  void startProgram(const std::vector<std::string>& arguments, const std::vector<std::string>& environment) {
    std::vector<std::string> argv{QUORVEL_BINARY_DIR "/quorvel"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    log_ = home() + "/quorvel-" + std::to_string(++runs_) + ".log";
    program_.reset();
    program_ = ChildProcess::start(argv, environment, log_);
    ASSERT_TRUE(program_);
  }
  int logged(const std::string& line) const {
    const std::string text = fileText(log_);
    int count = 0;
    for (auto at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++count;
    return count;
  }

  // logind locks the session: again until the shell says so (it hears logind once it runs).
  bool lock() {
    for (int tries = 0; tries < 15 && buses_->lockedHint(kOwnSession) != true; ++tries) {
      if (!buses_->emitSessionSignal(kOwnSession, "Lock")) return false;
      eventually([&] { return buses_->lockedHint(kOwnSession) == true; }, 2);
    }
    // The pointer wakes the blank lock screen: its curtain shows.
    return buses_->lockedHint(kOwnSession) == true && xdotool(shell_->display(), {"mousemove", "100", "500"});
  }
  bool unlock() {
    for (int tries = 0; tries < 15 && buses_->lockedHint(kOwnSession) != false; ++tries) {
      if (!buses_->emitSessionSignal(kOwnSession, "Unlock")) return false;
      eventually([&] { return buses_->lockedHint(kOwnSession) == false; }, 2);
    }
    return buses_->lockedHint(kOwnSession) == false && shell_->shieldActive() == false;
  }
  // Waits (generously) for a screenshot that passes `test`; the last one taken is in `shot`.
  bool screenShows(const std::string& name, const std::function<bool(const QImage&)>& test, QImage* shot = nullptr) {
    QImage last;
    const bool seen = eventually([&] { return test(last = screenshot(shell_->display(), name)); }, 20);
    if (shot) *shot = last;
    return seen;
  }

  std::unique_ptr<SessionBuses> buses_;
  std::unique_ptr<NestedGnomeShell> shell_;
  std::unique_ptr<ChildProcess> extensionsService_, program_;
  std::string log_;
  int runs_ = 0;
};

// The enrolled user's stores (a made-up faceprint: the camera never shows a face) and a camera
// of empty frames, so that a lock starts an attempt that waits for a face.
class GnomeShellAttemptTest : public GnomeShellOverlayTest {
 protected:
  void SetUp() override {
    GnomeShellOverlayTest::SetUp();
    if (HasFatalFailure()) return;
    platform::resetSharedInstances();  // the stores below are made afresh over the program's files
    platform::files::install(std::make_shared<platform::files::LinuxFileSystem>());
    platform::keychain::install(
        std::make_shared<platform::keychain::FileKeychain>(home() + "/data/com.tessmin.quorvel/keychain.json"));
    ASSERT_TRUE(PasswordVault::set(kPassword));
    std::vector<FaceDescriptor> descriptors(3, FaceDescriptor(128, 0.05f));
    ASSERT_TRUE(FaceprintStore::shared().replaceEnrolled(descriptors, RecognitionEngine::dlib));
    platform::defaults::FileUserDefaults(home() + "/config/com.tessmin.quorvel/defaults.json")
        .set("hasSeenWelcome", true);
    std::string error;
    ASSERT_TRUE(platform::capture::writeRecording(camera(), {emptyFrame(), emptyFrame()}, 4, &error)) << error;
  }
  std::string camera() { return home() + "/camera.avi"; }
  std::vector<std::string> appEnvironment() {
    auto environment = programEnvironment();
    environment.insert(environment.end(), {"QUORVEL_CAMERA=" + camera(), "QUORVEL_CAMERA_LOOP=1"});
    return environment;
  }
};

// The extension's frame call as any program on the session bus may make it: the reply's error,
// empty when the frame was taken.
std::string showFrame(const std::vector<std::string>& placementFrameAndCrop, const QByteArray& png) {
  std::vector<std::string> argv{"sh",
                                "-c",
                                "busctl --user --timeout=10 call \"$@\" 2>&1",
                                "busctl",
                                "org.gnome.Shell",
                                "/com/tessmin/Quorvel/Overlay",
                                "com.tessmin.Quorvel.Overlay1",
                                "ShowFrame",
                                "(dddd)(uu)(uuuu)ay"};
  argv.insert(argv.end(), placementFrameAndCrop.begin(), placementFrameAndCrop.end());
  argv.push_back(std::to_string(png.size()));
  for (const char byte : png) argv.push_back(std::to_string(static_cast<unsigned char>(byte)));
  std::string output;
  return runCommand(argv, kWithoutPamWrapper, 15, &output) == 0 ? "" : output;
}
QByteArray pngOf(int width, int height) {
  QImage image(width, height, QImage::Format_ARGB32);
  image.fill(0xff00ff00);
  QByteArray png;
  QBuffer buffer(&png);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "PNG");
  return png;
}

TEST_F(GnomeShellOverlayTest, ThePreviewPlaysAboveTheLockScreenAndTheProgramSaysWhatTheRoadLacks) {
  QImage shot;
  {
    SCOPED_TRACE("--preview-animation on the locked screen");
    ASSERT_TRUE(lock());
    startProgram({"--preview-animation"}, programEnvironment());
    // Its placement line, and the place the extension gave the panel: the same.
    ASSERT_TRUE(eventually([&] { return logged("window={{240, 400}, {320, 200}} screen={{0, 0}, {800, 600}} "); }, 30))
        << fileText(log_);
    EXPECT_TRUE(screenShows("gnome-preview-above-curtain",
                            [](const QImage& s) { return panelShown(s) && lockScreenAround(s); }));
    EXPECT_TRUE(
        eventually([&] { return logged("Server bounds at 0.400000s: {{240, 0}, {320, 200}} (top-left origin)"); }, 10))
        << fileText(log_);
  }
  {
    SCOPED_TRACE("malformed frames are refused and change nothing");
    const std::vector<std::string> whole{"0", "0", "320", "200", "320", "200"};
    const auto frame = [&](std::vector<std::string> crop, const QByteArray& png, std::vector<std::string> at = {}) {
      std::vector<std::string> arguments = at.empty() ? whole : at;
      arguments.insert(arguments.end(), crop.begin(), crop.end());
      return showFrame(arguments, png);
    };
    EXPECT_NE(frame({"0", "0", "0", "0"}, {}, {"0", "0", "320", "200", "641", "200"}).find("larger than 640 x 400"),
              std::string::npos);
    EXPECT_NE(frame({"0", "0", "0", "0"}, {}, {"0", "0", "320", "0", "320", "200"}).find("not a rectangle"),
              std::string::npos);
    EXPECT_NE(frame({"300", "0", "30", "10"}, pngOf(30, 10)).find("the crop leaves the frame"), std::string::npos);
    EXPECT_NE(frame({"0", "0", "2", "2"}, QByteArray("GIF89a not a png at all....")).find("not a PNG"),
              std::string::npos);
    EXPECT_NE(frame({"0", "0", "1", "1"}, pngOf(2, 2)).find("the image is 2 x 2, not 1 x 1"), std::string::npos);
    EXPECT_NE(frame({"0", "0", "4", "4"}, pngOf(4, 4).left(40)).find("does not decode"), std::string::npos);
    EXPECT_TRUE(screenShows("gnome-preview-after-malformed-frames", panelShown));
  }
  {
    SCOPED_TRACE("the preview ends: its panel goes with the program");
    EXPECT_EQ(program_->wait(30), 0);
    EXPECT_TRUE(
        screenShows("gnome-preview-ended", [](const QImage& s) { return lockScreenAround(s) && greenPixels(s) == 0; }));
  }
  {
    SCOPED_TRACE("the extension switched off while it shows");
    ASSERT_TRUE(unlock());
    startProgram({"--preview-animation"}, programEnvironment());
    ASSERT_TRUE(screenShows("gnome-preview-unlocked", [](const QImage& s) { return greenPixels(s) > 30; }))
        << fileText(log_);
    ASSERT_TRUE(extensions("disable"));
    EXPECT_TRUE(screenShows("gnome-preview-extension-off", [](const QImage& s) { return greenPixels(s) == 0; }));
    program_.reset();
    const std::string output = check();
    EXPECT_NE(output.find(kUnavailable), std::string::npos) << output;
    EXPECT_NE(output.find("the GNOME Shell extension quorvel-overlay@tessmin.com is not enabled: run gnome-extensions "
                          "enable quorvel-overlay@tessmin.com"),
              std::string::npos)
        << output;
  }
  {
    SCOPED_TRACE("the extension uninstalled");
    ASSERT_TRUE(extensions("uninstall"));
    const std::string output = check();
    EXPECT_NE(output.find(kUnavailable), std::string::npos) << output;
    EXPECT_NE(output.find("the GNOME Shell extension quorvel-overlay@tessmin.com is not installed: copy the folder " +
                          builtBundlePath() + "/Resources/gnome-shell-extension/shell-43 to " + home() +
                          "/data/gnome-shell/extensions/quorvel-overlay@tessmin.com, log out and in again, then run "
                          "gnome-extensions enable quorvel-overlay@tessmin.com"),
              std::string::npos)
        << output;
  }
}

TEST_F(GnomeShellAttemptTest, ThePanelShowsAboveTheLockScreenWhileAnAttemptRunsAndGoesWithIt) {
  const std::string ready = check();
  EXPECT_NE(ready.find(kAvailable), std::string::npos) << ready;
  EXPECT_NE(ready.find("Above the lock screen through the GNOME Shell lock-screen overlay"), std::string::npos);
  startProgram({}, appEnvironment());
  ASSERT_TRUE(eventually([&] { return logged("Quorvel started (overlay available: true)"); }, 30)) << fileText(log_);
  QImage shot;
  {
    SCOPED_TRACE("the curtain");
    ASSERT_TRUE(lock()) << shell_->log();
    ASSERT_TRUE(eventually([&] { return logged("Persistent overlay shown"); }, 20)) << fileText(log_);
    EXPECT_TRUE(screenShows("gnome-attempt-above-curtain", [](const QImage& s) {
      return panelShown(s) && lockScreenAround(s);
    })) << fileText(log_);
  }
  {
    SCOPED_TRACE("the password dialog");
    // A click on the panel reaches the lock screen under it, which raises its dialog.
    ASSERT_TRUE(shell_->raisePasswordDialog(kCentre, 55)) << "the click did not go through the panel";
    EXPECT_TRUE(screenShows("gnome-attempt-above-dialog",
                            [](const QImage& s) { return panelShown(s) && lockScreenAround(s); }));
    // So do keys: Escape takes the dialog down, after which the shell follows logind's unlock
    // (it ignores it while its dialog is up).
    ASSERT_TRUE(shell_->dismissPasswordDialog());
  }
  {
    SCOPED_TRACE("the user unlocks: the attempt ends and takes the panel down");
    ASSERT_TRUE(unlock());
    ASSERT_TRUE(eventually([&] { return logged("Screen unlocked"); }, 20)) << fileText(log_);
    EXPECT_TRUE(screenShows(
        "gnome-attempt-ended", [](const QImage& s) { return greenPixels(s) == 0; }, &shot));
    EXPECT_FALSE(pixelIs(shot, kCentre - 110, 60, 0xff000000)) << "no black panel body either";
  }
  {
    SCOPED_TRACE("the extension switched off while the program runs");
    ASSERT_TRUE(extensions("disable"));
    ASSERT_TRUE(lock());
    // The attempt runs, its frames refused; nothing waits on the shell.
    ASSERT_TRUE(eventually([&] { return logged("GNOME Shell's overlay extension did not show a frame"); }, 20))
        << fileText(log_);
    EXPECT_TRUE(screenShows("gnome-attempt-extension-off",
                            [](const QImage& s) { return lockScreenAround(s) && greenPixels(s) == 0; }));
    ASSERT_TRUE(unlock());
    EXPECT_TRUE(eventually([&] { return logged("Screen unlocked") == 2; }, 20)) << fileText(log_);
    const std::string unavailable = check();
    EXPECT_NE(unavailable.find(kUnavailable), std::string::npos) << unavailable;
    EXPECT_NE(unavailable.find("No road above the lock screen: GNOME Shell lock-screen overlay: the GNOME Shell "
                               "extension quorvel-overlay@tessmin.com is not enabled: run gnome-extensions enable "
                               "quorvel-overlay@tessmin.com"),
              std::string::npos)
        << unavailable;
    EXPECT_NE(unavailable.find("SkyLight unavailable; animation disabled"), std::string::npos);
  }
}

// A stand-in for GNOME Shell with the extension's object (python3-dbusmock) on a session bus of
// the test's own; `method` sets what one of its methods does.
class StandInShellTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    buses_ = std::make_unique<SessionBuses>(home() + "/session");
    ASSERT_TRUE(buses_->startSessionBus());
    ASSERT_TRUE(buses_->startService("/usr/bin/python3", "org.gnome.Shell", kPath, kInterface));
  }
  void TearDown() override {
    buses_.reset();
    PlatformTest::TearDown();
  }
  bool method(const std::string& name, const std::string& in, const std::string& out, const std::string& code) {
    return buses_
        ->call(false, {"org.gnome.Shell", kPath, "org.freedesktop.DBus.Mock", "AddMethod", "sssss", kInterface, name,
                       in, out, code})
        .has_value();
  }
  std::string received() {
    return buses_->call(false, {"org.gnome.Shell", kPath, "org.freedesktop.DBus.Mock", "GetMethodCalls", "s", "ShowFrame"})
        .value_or("");
  }
  int logged(const std::string& text) {
    const auto lines = logs().messages("overlay");
    return static_cast<int>(
        std::count_if(lines.begin(), lines.end(), [&](const std::string& line) { return line.find(text) != std::string::npos; }));
  }
  static QImage frame() {
    QImage image(320, 200, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    image.setPixel(160, 10, 0xff000000);
    return image;
  }

  static constexpr const char* kPath = "/com/tessmin/Quorvel/Overlay";
  static constexpr const char* kInterface = "com.tessmin.Quorvel.Overlay1";
  static constexpr const char* kShowFrame = "(dddd)(uu)(uuuu)ay";
  std::unique_ptr<SessionBuses> buses_;
};

// A stand-in for the extension that answers its ping but takes two seconds over every frame:
// the road keeps one frame on its way and the newest one waiting, so fifty frames shown meanwhile
// cost dropped frames, not a queue; the calls that time out are logged once.
TEST_F(StandInShellTest, ASlowExtensionCostsDroppedFramesNotAQueue) {
  ASSERT_TRUE(method("Ping", "", "u", "ret = 1"));
  ASSERT_TRUE(method("ShowFrame", kShowFrame, "(dddd)", "time.sleep(2); ret = (0.0, 0.0, 1.0, 1.0)"));
  auto road = platform::windowserver::makeGnomeLockScreenRoad();
  std::string why;
  ASSERT_TRUE(road->open(&why)) << why;
  for (int i = 0; i < 50; ++i) road->show(frame(), platform::Rect(i, 0, 320, 200));
  const auto count = [](const std::string& calls) {
    return calls.empty() ? -1 : std::stoi(calls.substr(calls.find(' ') + 1));
  };
  // A first frame, then (once its call timed out) the newest: a frame or two of fifty.
  std::string calls;
  ASSERT_TRUE(eventually([&] { return (calls = received()).find("(dddd) 49 0 320 200") != std::string::npos; }, 20));
  EXPECT_LE(count(calls), 3) << calls.substr(0, 100);
  EXPECT_EQ(road->shownBounds(), std::nullopt);
  EXPECT_TRUE(eventually([&] { return logs().contains("GNOME Shell's overlay extension did not show a frame"); }, 10));
  road.reset();
  EXPECT_EQ(count(received()), count(calls)) << "nothing was queued behind the newest frame";
  EXPECT_EQ(logged("did not show a frame"), 1);
}

// A shell too busy to answer the ping is said to be so, not to lack the extension. A frame the
// extension fails to show takes the panel's place away; calls that end with the road are no
// failure of the shell.
TEST_F(StandInShellTest, AShellThatDoesNotAnswerOrFailsAFrameIsToldApart) {
  ASSERT_TRUE(method("Ping", "", "u", "time.sleep(2); ret = 1"));
  auto road = platform::windowserver::makeGnomeLockScreenRoad();
  std::string why;
  EXPECT_FALSE(road->open(&why));
  EXPECT_EQ(why.find("GNOME Shell did not answer in time"), 0u) << why;

  ASSERT_TRUE(method("Ping", "", "u", "ret = 1"));
  ASSERT_TRUE(method("ShowFrame", kShowFrame, "(dddd)", "ret = (240.0, 0.0, 320.0, 200.0)"));
  road = platform::windowserver::makeGnomeLockScreenRoad();
  ASSERT_TRUE(road->open(&why)) << why;
  road->show(frame(), platform::Rect(240, 0, 320, 200));
  ASSERT_TRUE(eventually([&] { return road->shownBounds() == platform::Rect(240, 0, 320, 200); }, 10));
  ASSERT_TRUE(method("ShowFrame", kShowFrame, "(dddd)",
                     "raise dbus.exceptions.DBusException('Frame not shown: no texture', "
                     "name='org.freedesktop.DBus.Error.Failed')"));
  road->show(frame(), platform::Rect(241, 0, 320, 200));
  ASSERT_TRUE(eventually([&] { return logged("did not show a frame") == 1; }, 10));
  EXPECT_EQ(road->shownBounds(), std::nullopt);

  ASSERT_TRUE(method("ShowFrame", kShowFrame, "(dddd)", "ret = (240.0, 0.0, 320.0, 200.0)"));
  road->show(frame(), platform::Rect(242, 0, 320, 200));
  ASSERT_TRUE(eventually([&] { return logged("answers again") == 1; }, 10));
  ASSERT_TRUE(method("ShowFrame", kShowFrame, "(dddd)", "time.sleep(2); ret = (240.0, 0.0, 320.0, 200.0)"));
  road->show(frame(), platform::Rect(243.25, 0, 320, 200));
  ASSERT_TRUE(eventually([&] { return fileText(home() + "/session/services.log").find("243.25") != std::string::npos; }, 10));
  road.reset();  // with that frame on its way
  EXPECT_EQ(logged("did not show a frame"), 1);
}


}  // namespace
}  // namespace quorvel::testing
