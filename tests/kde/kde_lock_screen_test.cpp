// KDE Plasma's real lock screen: KWin's screen locker and its greeter (kscreenlocker_greet) in
// a nested kwin_wayland, following logind, with the shipped program in the session on a
// camera recording. While an attempt runs the program's notch panel shows above the greeter;
// a stranger's attempt ends with the panel gone and the session still locked; the enrolled
// face unlocks it: PAM accepts the password, logind is asked, the greeter goes and LockedHint
// turns false. A locker whose executable others may replace is not trusted with the password.
// A greeter that shows late (a loaded machine) comes up above what was shown before it; the
// road puts its surface back on top.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "coordinator/coordinator_fixture.hpp"
#include "kde/screen_grab.hpp"
#include "platform/capture/capture_linux.hpp"
#include "platform/defaults/defaults_linux.hpp"
#include "platform/files/files_linux.hpp"
#include "platform/image/image.hpp"
#include "platform/image/image_io.hpp"
#include "platform/keychain/file_keychain.hpp"
#include "platform/shared.hpp"
#include "platform/windowserver/lock_screen_road_kde.hpp"
#include "support/B_helpers.hpp"
#include "support/desktop_session.hpp"
#include "support/nested_kwin.hpp"
#include "support/pam_matrix.hpp"
#include "support/session_buses.hpp"

namespace quorvel::testing {
namespace {

namespace fs = std::filesystem;
namespace ws = platform::windowserver;

constexpr QRgb kBlack = 0xff000000, kMarker = 0xffff00ff;
// The panel hangs from the top centre of the 1024-point screen: its open body is 250 wide and
// 72 high (no housing: 8 + 64), the face glyph in its lower part.
constexpr int kCentre = kKwinWidth / 2;

int greenPixels(const QImage& shot) { return panelGreenPixels(shot, kCentre); }
bool panelShown(const QImage& shot) {
  return pixelIs(shot, kCentre - 100, 4, kBlack) && pixelIs(shot, kCentre + 100, 4, kBlack) && greenPixels(shot) > 30;
}
// The greeter's own picture where the panel would be.
bool greeterAtTop(const QImage& shot) { return !pixelIs(shot, kCentre - 100, 4, kBlack, 30) && greenPixels(shot) == 0; }
// Whether a 64-point marker square of the test's own shows with its top-left corner at `at`.
bool markerAt(const QImage& shot, QPoint at) { return pixelIs(shot, at.x() + 32, at.y() + 32, kMarker); }
QImage marker() {
  QImage image(64, 64, QImage::Format_ARGB32_Premultiplied);
  image.fill(kMarker);
  return image;
}
// Feeds the road its frame until the compositor has mapped the surface, as the program's host
// feeds it while the panel is shown.
bool shownBy(ws::LockScreenRoad& road, QPoint at) {
  return eventually(
      [&] {
        road.show(marker(), platform::Rect(at.x(), at.y(), 64, 64));
        return road.shownBounds().has_value();
      },
      20);
}

class KdeLockScreenTest : public CoordinatorTest {
 protected:
  void SetUp() override {
    CoordinatorTest::SetUp();
    ASSERT_TRUE(useBuiltBundleAndRealRuntime());
    useRealFaceLandmarks();
    for (const std::string& path : johnsPhotos()) people_[fs::path(path).parent_path().filename().string()].push_back(path);
    enrol("John_Salley");
    pam_matrix::prepare();
    pam_matrix::setAccounts({{kSessionUser, kPassword}});
    buses_ = std::make_unique<SessionBuses>(home() + "/session");
    ASSERT_TRUE(buses_->startWithoutLockScreen());
  }
  void TearDown() override {
    program_.reset();
    kwin_.reset();
    buses_.reset();
    CoordinatorTest::TearDown();
  }

  // The photo in the middle of a small camera frame, as large as the liveness model needs.
  Frame cameraFrame(const std::string& path) {
    const auto photo = platform::image::readImageFile(path);
    EXPECT_TRUE(photo) << path;
    const double scale = 1.6;
    return renderedFrame(platform::image::Image::fromPixelBuffer(photo)
                             .scaledBy(scale, scale)
                             .translatedBy((320 - photo->width() * scale) / 2, (240 - photo->height() * scale) / 2),
                         320, 240);
  }
  // Faceprints of the person's first five photos and the saved password, in the program's own
  // stores (the file keychain: the test's session bus has no Secret Service).
  void enrol(const std::string& person) {
    std::vector<FaceDescriptor> descriptors;
    for (int i = 0; i < 5; ++i) descriptors.push_back(descriptorOf(cameraFrame(people_[person].at(i))));
    platform::resetSharedInstances();  // the stores below are made afresh over the program's files
    platform::files::install(std::make_shared<platform::files::LinuxFileSystem>());
    platform::keychain::install(
        std::make_shared<platform::keychain::FileKeychain>(home() + "/data/com.tessmin.quorvel/keychain.json"));
    ASSERT_TRUE(PasswordVault::set(kPassword));
    ASSERT_TRUE(FaceprintStore::shared().replaceEnrolled(descriptors, RecognitionEngine::dlib));
    platform::defaults::FileUserDefaults(home() + "/config/com.tessmin.quorvel/defaults.json").set("hasSeenWelcome", true);
  }

  void startKwin(const std::string& executable = kKwinCopy) {
    kwin_ = std::make_unique<NestedKwin>(NestedKwin::Options{
        home() + "/kwin", {QUORVEL_BINARY_DIR "/quorvel", fs::read_symlink("/proc/self/exe").string()}, executable});
    std::string why;
    ASSERT_TRUE(kwin_->start(&why)) << why;
  }

  // The shipped program in the session, its camera playing the person's photos from the sixth
  // on, 4 frames a second, over and over.
  void startProgram(const std::string& person) {
    std::vector<Frame> frames;
    for (std::size_t i = 5; i < people_[person].size(); ++i) frames.push_back(cameraFrame(people_[person][i]));
    const std::string recording = home() + "/" + person + ".avi";
    std::string error;
    ASSERT_TRUE(platform::capture::writeRecording(recording, frames, 4, &error)) << error;
    auto environment = kwin_->clientEnvironment();
    environment.insert(environment.end(),
                       {"QUORVEL_CAMERA=" + recording, "QUORVEL_CAMERA_LOOP=1", "HOME=" + home(),
                        "XDG_CONFIG_HOME=" + home() + "/config", "XDG_DATA_HOME=" + home() + "/data",
                        "LD_PRELOAD=" QUORVEL_PAM_WRAPPER, "PAM_WRAPPER=1", "QT_QPA_PLATFORM="});
    log_ = home() + "/quorvel-" + person + ".log";
    program_.reset();
    program_ = ChildProcess::start({QUORVEL_BINARY_DIR "/quorvel"}, environment, log_);
    ASSERT_TRUE(eventually([&] { return logged("Quorvel started (overlay available: true)"); }, 30)) << fileText(log_);
  }
  bool logged(const std::string& line) const { return fileText(log_).find(line) != std::string::npos; }

  // logind locks the session; KWin's screen locker shows its greeter, which draws its picture,
  // and says so to logind.
  bool lock() {
    return buses_->emitSessionSignal(kOwnSession, "Lock") &&
           eventually([&] { return kwin_->greeterRunning() && buses_->lockedHint(kOwnSession) == true; }, 30) &&
           eventually([&] { return greeterPicture(screen("kde-locked")); }, 30);
  }
  static bool greeterPicture(const QImage& shot) { return !pixelIs(shot, kCentre, 400, kBlack, 30); }
  QImage screen(const std::string& name) const { return grabScreen(kwin_->displayName(), name); }

  std::map<std::string, std::vector<std::string>> people_;
  std::unique_ptr<SessionBuses> buses_;
  std::unique_ptr<NestedKwin> kwin_;
  std::unique_ptr<ChildProcess> program_;
  std::string log_;
};

TEST_F(KdeLockScreenTest, ThePanelShowsAboveTheRealGreeterWhileAnAttemptRunsAndTheEnrolledFaceUnlocks) {
  startKwin();
  // A stranger: the attempt runs, its panel above the greeter.
  startProgram("John_Savage");
  ASSERT_TRUE(lock()) << kwin_->log();
  ASSERT_TRUE(eventually([&] { return logged("Persistent overlay shown"); }, 20)) << fileText(log_);
  // Beside it, two surfaces of this test's own: one asks to be shown above the lock screen,
  // the other does not.
  kwin_->becomeClient();
  auto above = ws::makeKdeLockScreenRoad();
  auto under = ws::makeKdeLockScreenRoad({.askAboveLockScreen = false});
  std::string why;
  ASSERT_TRUE(above->open(&why)) << why;
  ASSERT_TRUE(under->open(&why)) << why;
  ASSERT_TRUE(shownBy(*above, {100, 300}));
  ASSERT_TRUE(shownBy(*under, {300, 300}));
  QImage shot;
  ASSERT_TRUE(eventually(
      [&] {
        above->show(marker(), platform::Rect(100, 300, 64, 64));
        under->show(marker(), platform::Rect(300, 300, 64, 64));
        shot = screen("kde-attempt-above-greeter");
        return panelShown(shot) && markerAt(shot, {100, 300}) && greeterPicture(shot);
      },
      20))
      << fileText(log_);
  EXPECT_FALSE(markerAt(shot, {300, 300})) << "an ordinary surface shows under the greeter";
  above->hide(), under->hide();

  // The stranger is not recognised: the panel goes, the session stays locked.
  ASSERT_TRUE(eventually([&] { return logged("no match for 8.000000s, giving up"); }, 40)) << fileText(log_);
  ASSERT_TRUE(eventually([&] { return greeterAtTop(shot = screen("kde-stranger-panel-gone")); }, 15));
  EXPECT_TRUE(kwin_->greeterRunning());
  EXPECT_EQ(buses_->lockedHint(kOwnSession), true);
  EXPECT_EQ(buses_->managerCalls("UnlockSession"), 0);
  EXPECT_FALSE(logged("Screen unlocked"));

  // The user types the password into the greeter; logind unlocks.
  ASSERT_TRUE(buses_->emitSessionSignal(kOwnSession, "Unlock"));
  ASSERT_TRUE(eventually([&] { return !kwin_->greeterRunning() && buses_->lockedHint(kOwnSession) == false; }, 20));

  // The enrolled face unlocks: the greeter goes and logind holds the session unlocked.
  startProgram("John_Salley");
  ASSERT_TRUE(lock());
  ASSERT_TRUE(eventually([&] { return logged("Screen unlocked"); }, 40)) << fileText(log_);
  EXPECT_TRUE(eventually([&] { return !kwin_->greeterRunning() && buses_->lockedHint(kOwnSession) == false; }, 10));
  EXPECT_EQ(buses_->managerCalls("UnlockSession"), 1);
  // The program's verdict comes 0.9 s after the password went in: a greeter slower to go (a
  // loaded machine) leaves the unlock not confirmed then, and only then, before it comes.
  const std::string log = fileText(log_);
  const auto failed = log.find("Unlock failed");
  EXPECT_TRUE(failed == std::string::npos ||
              (log.find("Unlock failed: Unlock not confirmed; use Touch ID or your password\n") == failed &&
               failed < log.find("Screen unlocked") && log.find("Unlock failed", failed + 1) == std::string::npos))
      << log;
  EXPECT_TRUE(eventually([&] { return greenPixels(screen("kde-unlocked")) == 0; }, 15)) << "the panel retracted";
}

// On a loaded machine the greeter shows seconds after the lock, after the locker announced it
// (it waits a second at most), and KWin puts it above every surface shown before. Here the
// greeter is held still until the road's surfaces are up: one shown before the lock, one of a
// road opened after the lock was announced. Once the greeter shows, both come back above it,
// and while the road keeps its surfaces on top no look at the screen misses them.
TEST_F(KdeLockScreenTest, SurfacesShownBeforeALateGreeterComeBackAboveIt) {
  startKwin();
  kwin_->becomeClient();
  auto beforeLock = ws::makeKdeLockScreenRoad();
  std::string why;
  ASSERT_TRUE(beforeLock->open(&why)) << why;
  const QPoint first(100, 300), second(300, 300);
  ASSERT_TRUE(shownBy(*beforeLock, first));
  std::unique_ptr<ws::LockScreenRoad> afterLock;
  const auto feed = [&] {
    beforeLock->show(marker(), platform::Rect(first.x(), first.y(), 64, 64));
    if (afterLock) afterLock->show(marker(), platform::Rect(second.x(), second.y(), 64, 64));
  };

  // The greeter is held from the moment it runs, long before it can show.
  ASSERT_TRUE(buses_->emitSessionSignal(kOwnSession, "Lock"));
  int greeter = 0;
  for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
       !(greeter = kwin_->greeterPid()) && std::chrono::steady_clock::now() < end;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_NE(greeter, 0) << kwin_->log();
  ASSERT_EQ(::kill(greeter, SIGSTOP), 0);
  struct Resume {
    int pid;
    ~Resume() { ::kill(pid, SIGCONT); }  // also when an assertion ends the test early
  } resume{greeter};
  // The locker announces the lock without its greeter; the surfaces show on a black screen.
  ASSERT_TRUE(eventually(
      [&] {
        feed();
        return buses_->lockedHint(kOwnSession) == true;
      },
      30));
  afterLock = ws::makeKdeLockScreenRoad();
  ASSERT_TRUE(afterLock->open(&why)) << why;
  ASSERT_TRUE(shownBy(*afterLock, second));
  QImage shot;
  ASSERT_TRUE(eventually(
      [&] {
        feed();
        shot = screen("kde-late-greeter-held");
        return markerAt(shot, first) && markerAt(shot, second);
      },
      20));
  EXPECT_FALSE(greeterPicture(shot));

  ::kill(greeter, SIGCONT);
  ASSERT_TRUE(eventually(
      [&] {
        feed();
        shot = screen("kde-late-greeter-shown");
        return greeterPicture(shot) && markerAt(shot, first) && markerAt(shot, second);
      },
      60))
      << kwin_->log();
  // The road goes on putting them on top (a fresh surface each second): none goes missing.
  int looks = 0;
  for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
       std::chrono::steady_clock::now() < end; ++looks) {
    feed();
    shot = screen("kde-late-greeter-kept");
    ASSERT_TRUE(markerAt(shot, first) && markerAt(shot, second)) << "after " << looks << " looks";
  }
}

// A compositor that goes away takes the road's surface with it: the road no longer says where
// it shows one, and says once why.
TEST_F(KdeLockScreenTest, ARoadWhoseCompositorWentShowsNothing) {
  startKwin();
  kwin_->becomeClient();
  auto road = ws::makeKdeLockScreenRoad();
  std::string why;
  ASSERT_TRUE(road->open(&why)) << why;
  ASSERT_TRUE(shownBy(*road, {100, 300}));
  kwin_.reset();
  for (int i = 0; i < 3; ++i) road->show(marker(), platform::Rect(100, 300, 64, 64));
  EXPECT_EQ(road->shownBounds(), std::nullopt);
  EXPECT_EQ(std::ranges::count_if(logs().messages("overlay"),
                                  [](const std::string& line) { return line.find("Wayland connection broke") != std::string::npos; }),
            1);
}

// The same locker run from a folder others may write: whoever could replace it could read
// what is typed into it.
TEST_F(KdeLockScreenTest, ALockerRunFromAFolderOthersMayWriteIsNotTrusted) {
  const std::string copy = home() + "/bin/kwin_wayland";
  fs::create_directories(home() + "/bin");
  ::chmod((home() + "/bin").c_str(), 0775);
  fs::copy_file(kKwinCopy, copy);
  startKwin(copy);
  startProgram("John_Salley");
  ASSERT_TRUE(lock()) << kwin_->log();
  ASSERT_TRUE(eventually([&] { return logged("Unlock failed"); }, 40)) << fileText(log_);
  EXPECT_EQ(buses_->managerCalls("UnlockSession"), 0);
  EXPECT_TRUE(kwin_->greeterRunning());
  EXPECT_EQ(buses_->lockedHint(kOwnSession), true);
}

// Without the .desktop file that names it, the program is not offered the road: the overlay
// is unavailable and says so once; everything else runs.
TEST_F(KdeLockScreenTest, AProgramNoDesktopFileNamesGetsNoOverlay) {
  startKwin();
  const std::string copy = home() + "/quorvel";
  fs::copy_file(QUORVEL_BINARY_DIR "/quorvel", copy);
  fs::create_directory_symlink(QUORVEL_BINARY_DIR "/Quorvel.bundle", home() + "/Quorvel.bundle");
  auto environment = kwin_->clientEnvironment();
  environment.push_back("HOME=" + home());
  std::string output;
  // The log goes to standard error.
  ASSERT_EQ(runCommand({"sh", "-c", "\"$0\" --check 2>&1", copy}, environment, 60, &output), 0) << output;
  EXPECT_NE(output.find(" no   Animation can draw over lock screen"), std::string::npos) << output;
  EXPECT_NE(output.find("SkyLight unavailable; animation disabled"), std::string::npos) << output;
  EXPECT_NE(output.find("does not offer kde_lockscreen_overlay_v1 to " + copy), std::string::npos) << output;
  ASSERT_EQ(runCommand({QUORVEL_BINARY_DIR "/quorvel", "--check"}, environment, 60, &output), 0) << output;
  EXPECT_NE(output.find("yes   Animation can draw over lock screen"), std::string::npos) << output;
}

}  // namespace
}  // namespace quorvel::testing
