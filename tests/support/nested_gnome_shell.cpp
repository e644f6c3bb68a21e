#include "support/nested_gnome_shell.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/B_helpers.hpp"
#include "support/desktop_session.hpp"
#include "support/session_buses.hpp"

namespace quorvel::testing {
namespace {

constexpr const char* kDisplayManager = "org.gnome.DisplayManager";
constexpr const char* kDisplayManagerPath = "/org/gnome/DisplayManager/Manager";
constexpr const char* kMock = "org.freedesktop.DBus.Mock";
const std::vector<std::string> kWithoutPamWrapper{"LD_PRELOAD=", "PAM_WRAPPER="};

// How many calls a dbusmock object received ("a(tav) N ..." from GetMethodCalls).
int callCount(const std::optional<std::string>& reply) {
  std::istringstream words(reply.value_or(""));
  std::string type;
  int count = -1;
  words >> type >> count;
  return count;
}

}  // namespace

NestedGnomeShell::NestedGnomeShell(SessionBuses& buses, std::string folder)
    : buses_(buses), folder_(std::move(folder)) {}

NestedGnomeShell::~NestedGnomeShell() {
  shell_.reset();
  display_.reset();
}

std::int64_t NestedGnomeShell::pid() const { return shell_ ? shell_->pid() : -1; }

const std::string& NestedGnomeShell::display() const {
  static const std::string none;
  return display_ ? display_->name() : none;
}

std::string NestedGnomeShell::log() const {
  const std::string text = fileText(folder_ + "/shell.log");
  return text.size() > 4000 ? "..." + text.substr(text.size() - 4000) : text;
}

bool NestedGnomeShell::start() {
  namespace fs = std::filesystem;
  if (runCommand({"unshare", "--mount", "true"}, kWithoutPamWrapper) != 0) {
    failure_ = "gnome-shell needs a mount namespace of its own (root) to start without hanging";
    return false;
  }
  // GDM, without which GNOME Shell offers no lock screen; it refuses to check passwords.
  const std::string manager = "org.gnome.DisplayManager.Manager";
  const auto gdm = [&](std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {kDisplayManager, kDisplayManagerPath, kMock});
    return buses_.call(true, arguments).has_value();
  };
  // The user's systemd, which runs IBus (see the header).
  const auto systemd = [&](std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"org.freedesktop.systemd1", "/org/freedesktop/systemd1", kMock});
    return buses_.call(false, arguments).has_value();
  };
  if (!buses_.startService("/usr/bin/python3", kDisplayManager, kDisplayManagerPath, manager, true) ||
      !gdm({"AddProperty", "ssv", manager, "Version", "s", "43.0"}) ||
      !gdm({"AddMethod", "sssss", manager, "RegisterSession", "a{sv}", "", ""}) ||
      !gdm({"AddMethod", "sssss", manager, "OpenReauthenticationChannel", "s", "s",
            "raise dbus.exceptions.DBusException('no', name='org.freedesktop.DBus.Error.AccessDenied')"}) ||
      !buses_.startService("/usr/bin/python3", "org.freedesktop.systemd1", "/org/freedesktop/systemd1",
                           "org.freedesktop.systemd1.Manager") ||
      !systemd({"AddMethod", "sssss", "org.freedesktop.systemd1.Manager", "GetUnit", "s", "o",
                "ret = dbus.ObjectPath('/org/freedesktop/systemd1/unit/ibus')"})) {
    failure_ = "the display manager or systemd did not start";
    return false;
  }
  display_ = std::make_unique<VirtualDisplay>();
  if (display().empty()) {
    failure_ = "Xvfb did not start";
    return false;
  }

  const std::string runtime = folder_ + "/runtime", home = folder_ + "/home";
  fs::create_directories(runtime);
  fs::create_directories(home);
  ::chmod(runtime.c_str(), 0700);
  const std::string uid = std::to_string(::getuid());
  const std::string unit = "/user.slice/user-" + uid + ".slice/user@" + uid + ".service/app.slice/gnome-shell.service";
  const std::string cgroup = folder_ + "/cgroup";
  std::ofstream(cgroup) << "1:name=systemd:" << unit << "\n0::" << unit << "\n";

  static int starts = 0;
  socket_ = "quorvel-gnome-" + std::to_string(::getpid()) + "-" + std::to_string(++starts);
  const std::string& socket = socket_;
  shell_ = ChildProcess::start(
      {"unshare", "--mount", "--", "sh", "-c", "mount --bind \"$0\" /proc/$$/cgroup && exec \"$@\"", cgroup,
       "gnome-shell", "--nested", "--wayland", "--no-x11", "--wayland-display", socket},
      {"LD_PRELOAD=", "PAM_WRAPPER=", "WAYLAND_DISPLAY=", "DISPLAY=" + display(), "XDG_RUNTIME_DIR=" + runtime,
       "HOME=" + home, "XDG_CACHE_HOME=" + home + "/cache", "XDG_DATA_HOME=" + home + "/.local/share",
       "XDG_SESSION_ID=" + std::string(kOwnSession),
       "XDG_SESSION_TYPE=wayland", "XDG_CURRENT_DESKTOP=GNOME", "GSETTINGS_BACKEND=memory", "NO_AT_BRIDGE=1"},
      folder_ + "/shell.log");
  // Started once it has told the display manager its session is up (at the end of its
  // start-up, well after it would have launched ibus-daemon) and its shield answers.
  const auto started = [&] { return displayManagerCalls("RegisterSession") > 0 && shieldActive().has_value(); };
  if (!shell_ || !eventually([&] { return !shell_->running() || started(); }, 60) || !shell_->running()) {
    failure_ = "gnome-shell did not start; its output:\n" + log();
    return false;
  }
  return true;
}

std::vector<std::string> NestedGnomeShell::clientEnvironment() const {
  return {"WAYLAND_DISPLAY=" + socket_,  "XDG_RUNTIME_DIR=" + folder_ + "/runtime",
          "DISPLAY=",                    "XDG_CURRENT_DESKTOP=GNOME",
          "XDG_SESSION_TYPE=wayland",    "XDG_SESSION_ID=" + std::string(kOwnSession)};
}

std::optional<bool> NestedGnomeShell::shieldActive() {
  const auto reply = buses_.call(false, {"org.gnome.Shell.ScreenShield", "/org/gnome/ScreenSaver",
                                         "org.gnome.ScreenSaver", "GetActive"});
  if (!reply) return std::nullopt;
  return reply->find("true") != std::string::npos;
}

int NestedGnomeShell::displayManagerCalls(const std::string& method) {
  return callCount(buses_.call(true, {kDisplayManager, kDisplayManagerPath, kMock, "GetMethodCalls", "s", method}));
}

bool NestedGnomeShell::raisePasswordDialog(int x, int y) {
  const int before = displayManagerCalls("OpenReauthenticationChannel");
  // The pointer wakes the blank lock screen; a click on its clock raises the dialog.
  int step = 0;
  return eventually(
      [&] {
        const std::string at = std::to_string(x + 10 * (++step % 2));
        return xdotool(display(), {"mousemove", at, std::to_string(y), "click", "1"}) &&
               eventually([&] { return displayManagerCalls("OpenReauthenticationChannel") > before; }, 2);
      },
      20);
}

bool NestedGnomeShell::dismissPasswordDialog() { return xdotool(display(), {"key", "Escape"}); }

}  // namespace quorvel::testing
