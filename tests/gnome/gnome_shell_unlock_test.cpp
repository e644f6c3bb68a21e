// The unlock road against GNOME Shell 43's own lock screen, in a nested gnome-shell
// (support/nested_gnome_shell.hpp), through logind (python3-dbusmock): the session locks, the
// camera (a recording, QUORVEL_CAMERA) sees the enrolled face (real detection and dlib
// descriptors), the session layers take gnome-shell for the lock screen (not the other owners
// of screen-saver names), PAM accepts the password (pam_wrapper), logind is asked to unlock and
// the shield goes. A stranger leaves it locked. With its password dialog up the shell ignores
// logind's unlock, and the attempt ends as a failed unlock. One shell serves every check.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "coordinator/coordinator_fixture.hpp"
#include "platform/capture/capture_linux.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "platform/image/image_io.hpp"
#include "session/session_test.hpp"
#include "support/desktop_session.hpp"
#include "support/nested_gnome_shell.hpp"
#include "support/pam_matrix.hpp"
#include "unlock/login_window_target.hpp"
#include "unlock/unlocker.hpp"

namespace quorvel::testing {
namespace {

namespace dispatch = platform::dispatch;
namespace fs = std::filesystem;

class GnomeShellUnlockTest : public CoordinatorTest {
 protected:
  void SetUp() override {
    CoordinatorTest::SetUp();
    ASSERT_TRUE(pam_matrix::wrapperActive()) << pam_matrix::kHowToRun;
    pam_matrix::setAccounts({{kSessionUser, kPassword}});
    useRealFaceLandmarks();
    buses_ = std::make_unique<SessionBuses>(home() + "/session");
    ASSERT_TRUE(buses_->startSystemBus() && buses_->startSessionBus() && buses_->startLogind());
    buses_->addSession(kOwnSession, static_cast<std::uint32_t>(::getuid()));
    shell_ = std::make_unique<NestedGnomeShell>(*buses_, home() + "/gnome");
    ASSERT_TRUE(shell_->start()) << shell_->failure();
    installLinuxSessionLayers();
    dispatch::install(dispatch::makeRealScheduler());
    LockMonitor::shared().start();
    ::setenv("QUORVEL_CAMERA", camera().c_str(), 1);
    ::setenv("QUORVEL_CAMERA_LOOP", "1", 1);
    ::setenv("QUORVEL_CAMERA_FPS", "4", 1);
    platform::capture::install(nullptr);
  }
  void TearDown() override {
    dispatch::runMainLoopUntil([this] { return !coordinator().camera()->isRunning(); }, 10);
    for (const char* name : {"QUORVEL_CAMERA", "QUORVEL_CAMERA_LOOP", "QUORVEL_CAMERA_FPS"}) ::unsetenv(name);
    shell_.reset();
    CoordinatorTest::TearDown();  // the layers let go of the buses first
    buses_.reset();
  }

  std::string camera() { return home() + "/camera.avi"; }
  // Four photos of `person` filling a 320 x 240 frame's height.
  std::vector<Frame> photosOf(const std::string& person) {
    std::vector<Frame> frames;
    for (const std::string& path : johnsPhotos()) {
      if (path.find("/" + person + "/") == std::string::npos || frames.size() == 4) continue;
      const auto photo = platform::image::readImageFile(path);
      const double scale = 240.0 / photo->height();
      frames.push_back(renderedFrame(platform::image::Image::fromPixelBuffer(photo)
                                         .scaledBy(scale, scale)
                                         .translatedBy((320 - photo->width() * scale) / 2, 0),
                                     320, 240));
    }
    return frames;
  }
  // From the next loop on the camera plays these (the recording is replaced whole).
  void show(const std::vector<Frame>& frames) {
    std::string error;
    ASSERT_TRUE(platform::capture::writeRecording(home() + "/next.avi", frames, 4, &error)) << error;
    fs::rename(home() + "/next.avi", camera());
  }
  static bool locked() { return LockMonitor::isScreenActuallyLocked(); }
  // logind's Lock, again until the shell has locked (it hears logind once it has started).
  bool lock() {
    for (int tries = 0; tries < 15 && !locked(); ++tries) {
      if (!buses_->emitSessionSignal(kOwnSession, "Lock")) return false;
      dispatch::runMainLoopUntil(locked, 2);
    }
    return locked();
  }
  int unlockRequests() { return buses_->managerCalls("UnlockSession"); }

  std::unique_ptr<SessionBuses> buses_;
  std::unique_ptr<NestedGnomeShell> shell_;
};

TEST_F(GnomeShellUnlockTest, TheEnrolledFaceUnlocksGnomeShellsLockScreenAndNothingElseDoes) {
  const auto enrolled = photosOf("John_Salley"), stranger = photosOf("John_Savage");
  ASSERT_EQ(enrolled.size(), 4u);
  ASSERT_EQ(stranger.size(), 4u);
  for (const auto& frame : enrolled) enrolAt(frame, 0.1);
  // The other owners of screen-saver names: gnome-settings-daemon's inhibition proxy, and a
  // program from a folder the user can write that calls itself gnome-shell.
  const auto proxy = ChildProcess::start({"/usr/libexec/gsd-screensaver-proxy"}, {"LD_PRELOAD=", "PAM_WRAPPER="},
                                         home() + "/proxy.log");
  ASSERT_TRUE(proxy && buses_->waitForName(false, "org.freedesktop.ScreenSaver"));
  const std::string impostor = home() + "/bin/gnome-shell";
  fs::create_directories(home() + "/bin");
  ::chmod((home() + "/bin").c_str(), 0775);
  fs::copy_file(SessionBuses::lockScreenProgram(), impostor);
  ASSERT_TRUE(buses_->startService(impostor, "org.gnome.ScreenSaver", "/org/gnome/ScreenSaver", "org.gnome.ScreenSaver"));
  const std::string notUnlocked = "Unlock failed: " + std::string(rawValue(Unlocker::Failure::notUnlocked));

  {
    SCOPED_TRACE("the enrolled face");
    show(enrolled);
    ASSERT_TRUE(lock()) << shell_->log();
    const auto target = LoginWindowTarget::capture();
    ASSERT_TRUE(target);
    EXPECT_EQ(target->pid, shell_->pid()) << "gnome-shell is the lock screen";
    ASSERT_TRUE(dispatch::runMainLoopUntil(
        [&] { return logged("Screen unlocked") && !coordinator().currentAttempt(); }, 30));
    EXPECT_EQ(unlockRequests(), 1);
    EXPECT_FALSE(locked());
    EXPECT_EQ(shell_->shieldActive(), false) << "the shield is gone";
    EXPECT_TRUE(logs().contains("Asked logind to unlock session c1"));
  }
  {
    SCOPED_TRACE("a stranger");
    show(stranger);
    ASSERT_TRUE(lock());
    ASSERT_TRUE(dispatch::runMainLoopUntil(
        [&] { return logged("Face present but no match for 8.000000s, giving up") && !coordinator().isActive(); },
        30));
    EXPECT_EQ(unlockRequests(), 1);
    EXPECT_TRUE(locked());
    EXPECT_EQ(shell_->shieldActive(), true);
    // The user unlocks: logind's unlock, which the shell follows from its clock.
    ASSERT_TRUE(buses_->emitSessionSignal(kOwnSession, "Unlock"));
    ASSERT_TRUE(dispatch::runMainLoopUntil([&] { return countLogs("Screen unlocked") == 2; }, 10));
  }
  {
    SCOPED_TRACE("the password dialog is up");
    show({emptyFrame(), emptyFrame(), emptyFrame(), emptyFrame()});
    ASSERT_TRUE(lock());
    ASSERT_TRUE(shell_->raisePasswordDialog());
    show(enrolled);  // the user comes into view while the attempt waits for a face
    ASSERT_TRUE(dispatch::runMainLoopUntil([&] { return logged(notUnlocked); }, 30));
    EXPECT_EQ(unlockRequests(), 2);
    EXPECT_TRUE(locked());
    EXPECT_EQ(shell_->shieldActive(), true);
    EXPECT_EQ(countLogs("Screen unlocked"), 2);
    EXPECT_FALSE(coordinator().hasSucceeded());
    // The success tick played; the failure takes the panel down.
    EXPECT_TRUE(dispatch::runMainLoopUntil([&] { return overlayEvents().back() == "hide"; }, 10));
  }
}

}  // namespace
}  // namespace quorvel::testing
