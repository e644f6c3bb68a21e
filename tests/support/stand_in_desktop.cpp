#include "support/stand_in_desktop.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "platform/capture/capture_linux.hpp"
#include "support/pam_matrix.hpp"

namespace quorvel::testing {
namespace {

constexpr int kTrayWidth = 96, kTrayHeight = 24;

std::string busAddress(const std::string& folder, const char* bus) {
  return "unix:path=" + folder + "/buses/" + bus + "/bus";
}

}  // namespace

StandInDesktop::StandInDesktop(Options options) : options_(std::move(options)) {}

StandInDesktop::~StandInDesktop() {
  tray_.reset();
  keyring_.reset();
  buses_.reset();
  display_.reset();
}

bool StandInDesktop::fail(const std::string& what) {
  error_ = what;
  return false;
}

bool StandInDesktop::start() {
  const std::string& folder = options_.folder;
  display_ = std::make_unique<VirtualDisplay>(options_.width, options_.height);
  if (display_->name().empty()) return fail("Xvfb did not start");
  buses_ = std::make_unique<SessionBuses>(folder + "/buses");
  if (!buses_->start()) return fail("the session's buses, logind or the lock screen did not start");
  // The keyring on the session bus, its files in the desktop's home (HOME and the XDG folders
  // of this process point there from now on).
  keyring_ = std::make_unique<PrivateKeyring>(folder, busAddress(folder, "session"));
  if (!keyring_->startKeyring("keyring password")) return fail("gnome-keyring-daemon did not start");
  // The login password of the session's user, as logind names it, and of the user the
  // program runs as (whom the recovery of the app password asks): one user on a real desktop.
  pam_matrix::prepare();
  const passwd* user = ::getpwuid(::getuid());
  pam_matrix::setAccounts({{kSessionUser, kLoginPassword}, {user ? user->pw_name : "", kLoginPassword}});

  tray_ = ChildProcess::start({"trayer", "--edge", "top", "--align", "right", "--widthtype", "pixel",
                               "--width", std::to_string(kTrayWidth), "--height", std::to_string(kTrayHeight),
                               "--transparent", "false", "--tint", "0x202020", "--SetDockType", "false"},
                              {display_->environment()}, folder + "/trayer.log");
  // The tray has taken the selection once its window is on the screen.
  const QRect tray = trayArea();
  if (!tray_ || !eventually([&] {
        return !pixelIs(screenshot(display_->name(), "stand-in-tray"), tray.center().x(), tray.center().y(),
                        kDesktopColour);
      }, 20)) {
    return fail("trayer did not start");
  }
  return true;
}

QRect StandInDesktop::trayArea() const {
  return QRect(options_.width - kTrayWidth, 0, kTrayWidth, kTrayHeight);
}

std::vector<std::string> StandInDesktop::environment() const {
  const std::string& folder = options_.folder;
  const char* pamServices = std::getenv("PAM_WRAPPER_SERVICE_DIR");
  return {display_ ? display_->environment() : "DISPLAY=",
          "DBUS_SESSION_BUS_ADDRESS=" + busAddress(folder, "session"),
          "DBUS_SYSTEM_BUS_ADDRESS=" + busAddress(folder, "system"),
          "HOME=" + folder + "/home",
          "XDG_CONFIG_HOME=" + folder + "/config",
          "XDG_DATA_HOME=" + folder + "/data",
          "XDG_CACHE_HOME=" + folder + "/cache",
          "XDG_RUNTIME_DIR=" + folder + "/run",
          // logind names the program's session by its process; X11, not a Wayland of the caller's.
          "XDG_SESSION_ID=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM=",
          "LD_PRELOAD=" + options_.pamWrapper, "PAM_WRAPPER=1",
          std::string("PAM_WRAPPER_SERVICE_DIR=") + (pamServices ? pamServices : ""),
          "QUORVEL_CAMERA=" + folder + "/camera.avi", "QUORVEL_CAMERA_LOOP=1"};
}

std::unique_ptr<ChildProcess> StandInDesktop::launch(const std::vector<std::string>& arguments,
                                                     const std::string& log,
                                                     const std::vector<std::string>& changes) {
  std::vector<std::string> argv{options_.program};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<std::string> variables = environment();
  variables.insert(variables.end(), changes.begin(), changes.end());
  return ChildProcess::start(argv, variables, options_.folder + "/" + log);
}

bool StandInDesktop::showCamera(const std::vector<recordings::Frame>& frames, double fps) {
  const std::string made = options_.folder + "/recording-" + std::to_string(++recordings_) + ".avi";
  std::string error;
  if (frames.empty() || !platform::capture::writeRecording(made, frames, fps, &error)) {
    return fail("the recording could not be written: " + error);
  }
  std::error_code failed;
  std::filesystem::rename(made, options_.folder + "/camera.avi", failed);
  return !failed || fail("the recording could not be shown: " + failed.message());
}

std::optional<bool> StandInDesktop::locked() {
  std::string answer;
  const int status = runCommand(
      {"busctl", "--timeout=10", "get-property", "--address=" + busAddress(options_.folder, "system"),
       "org.freedesktop.login1", std::string("/org/freedesktop/login1/session/") + kOwnSession,
       "org.freedesktop.login1.Session", "LockedHint"},
      {"LD_PRELOAD=", "PAM_WRAPPER="}, 15, &answer);
  if (status != 0) return std::nullopt;
  return answer.find("true") != std::string::npos;
}

}  // namespace quorvel::testing
