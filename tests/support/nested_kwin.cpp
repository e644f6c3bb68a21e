#include "support/nested_kwin.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/B_helpers.hpp"
#include "support/desktop_session.hpp"

namespace quorvel::testing {
namespace {

namespace fs = std::filesystem;

}  // namespace

NestedKwin::NestedKwin(Options options) : options_(std::move(options)) {
  static std::atomic<int> count{0};
  socket_ = "wayland-quorvel-" + std::to_string(::getpid()) + "-" + std::to_string(count++);
}

NestedKwin::~NestedKwin() {
  kwin_.reset();  // its greeter and Xwayland-less clients end with it
  display_.reset();
}

std::vector<std::string> NestedKwin::clientEnvironment() const {
  const std::string& f = options_.folder;
  return {"WAYLAND_DISPLAY=" + socket_, "XDG_RUNTIME_DIR=" + f + "/run", "DISPLAY=",
          "XDG_DATA_DIRS=" + f + "/share:/usr/share", "XDG_CURRENT_DESKTOP=KDE", "XDG_SESSION_TYPE=wayland"};
}

void NestedKwin::becomeClient() const {
  for (const auto& entry : clientEnvironment()) {
    const auto equals = entry.find('=');
    const std::string name = entry.substr(0, equals), value = entry.substr(equals + 1);
    if (value.empty()) {
      ::unsetenv(name.c_str());
    } else {
      ::setenv(name.c_str(), value.c_str(), 1);
    }
  }
}

bool NestedKwin::start(std::string* why) {
  const std::string& f = options_.folder;
  if (::access(options_.executable.c_str(), X_OK) != 0) {
    *why = options_.executable + " is missing: scripts/setup installs a plain copy of /usr/bin/kwin_wayland there";
    return false;
  }
  fs::create_directories(f + "/share/applications");
  fs::create_directories(f + "/run");
  ::chmod((f + "/run").c_str(), 0700);
  int n = 0;
  for (const auto& executable : options_.allowed) {
    std::ofstream(f + "/share/applications/quorvel-test-" + std::to_string(n++) + ".desktop")
        << "[Desktop Entry]\nType=Application\nName=Quorvel test\nNoDisplay=true\nExec=" << executable
        << "\nX-KDE-Wayland-Interfaces=kde_lockscreen_overlay_v1\n";
  }
  // KWin reads the allowed interfaces from the service cache, which is rebuilt from these.
  const std::vector<std::string> environment{
      "XDG_DATA_DIRS=" + f + "/share:/usr/share", "XDG_CACHE_HOME=" + f + "/cache", "XDG_CONFIG_HOME=" + f + "/config",
      "XDG_DATA_HOME=" + f + "/data", "XDG_RUNTIME_DIR=" + f + "/run", "XDG_MENU_PREFIX=plasma-", "HOME=" + f,
      "KWIN_COMPOSE=Q", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM=", "XDG_CURRENT_DESKTOP=KDE", "LD_PRELOAD=", "PAM_WRAPPER="};
  if (runCommand({"kbuildsycoca5"}, environment, 60) != 0) {
    *why = "kbuildsycoca5 failed";
    return false;
  }
  display_ = std::make_unique<VirtualDisplay>(kKwinWidth, kKwinHeight);
  if (display_->name().empty()) {
    *why = "Xvfb did not start";
    return false;
  }
  auto kwinEnvironment = environment;
  kwinEnvironment.push_back(display_->environment());
  kwin_ = ChildProcess::start({options_.executable, "--x11-display", display_->name(), "--width",
                               std::to_string(kKwinWidth), "--height", std::to_string(kKwinHeight), "--socket", socket_},
                              kwinEnvironment, f + "/kwin.log");
  const bool ready = kwin_ && eventually(
                                  [&] {
                                    return fs::exists(f + "/run/" + socket_) &&
                                           runCommand({"busctl", "--user", "--timeout=2", "status", "org.freedesktop.ScreenSaver"},
                                                      {"LD_PRELOAD=", "PAM_WRAPPER="}, 5) == 0;
                                  },
                                  30);
  if (!ready) *why = "kwin_wayland did not come up: " + log();
  return ready;
}

std::string NestedKwin::displayName() const { return display_ ? display_->name() : std::string(); }

int NestedKwin::greeterPid() const {
  if (!kwin_) return 0;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::istringstream stat(fileText(entry.path().string() + "/stat"));
    std::string pid, comm, state;
    long parent = 0;
    if (!(stat >> pid >> comm >> state >> parent)) continue;
    if (parent == kwin_->pid() && comm.find("kscreenlocker") != std::string::npos) return std::stoi(pid);
  }
  return 0;
}

std::string NestedKwin::log() const { return fileText(options_.folder + "/kwin.log"); }

}  // namespace quorvel::testing
