#include "polkit/authorization_desktop.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace quorvel::testing {

namespace fs = std::filesystem;

namespace {

constexpr const char* kLogind = "org.freedesktop.login1";
constexpr const char* kSession = "/org/freedesktop/login1/session/c1";
constexpr const char* kMock = "org.freedesktop.DBus.Mock";

std::string folderOf(const std::string& path, uid_t owner, int mode) {
  fs::create_directories(path);
  fs::permissions(path, fs::perms(mode));
  return ::chown(path.c_str(), owner, owner) == 0 ? path : "";
}

bool startsWith(const std::string& line, const std::string& start) { return line.rfind(start, 0) == 0; }

}  // namespace

AuthorizationDesktop::AuthorizationDesktop(const std::string& folder) {
  fs::permissions(fs::path(folder).parent_path(), fs::perms(0755));  // nobody reaches the sockets
  folder_ = folderOf(folder, 0, 0755);
  folderOf(path("nobody"), kNobody, 0700);
  folderOf(path("root"), 0, 0700);
}

AuthorizationDesktop::~AuthorizationDesktop() {
  launcher_.reset(), display_.reset(), polkitd_.reset(), logind_.reset();
  sessionBus_.reset(), systemBus_.reset();
  if (!rootOnly_.empty()) fs::remove_all(rootOnly_);
}

std::vector<std::string> AuthorizationDesktop::environment(bool asNobody) const {
  const std::string home = path(asNobody ? "nobody" : "root");
  std::vector<std::string> environment{"HOME=" + home, "XDG_RUNTIME_DIR=" + home, "XDG_CONFIG_HOME=" + home,
                                       "XDG_DATA_HOME=" + home, "TMPDIR=" + home, "XDG_SESSION_ID=",
                                       "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + path("system"),
                                       "DBUS_SESSION_BUS_ADDRESS=unix:path=" + path("session")};
  if (display_) environment.push_back(display_->environment());
  return environment;
}

void AuthorizationDesktop::useInThisProcess() const {
  for (const auto& entry : environment(false)) {
    if (startsWith(entry, "DBUS_") || startsWith(entry, "DISPLAY=")) {
      ::setenv(entry.substr(0, entry.find('=')).c_str(), entry.substr(entry.find('=') + 1).c_str(), 1);
    }
  }
}

std::unique_ptr<ChildProcess> AuthorizationDesktop::start(std::vector<std::string> argv, bool asNobody,
                                                          const std::string& log) {
  const std::string nobody = std::to_string(kNobody);
  if (asNobody) argv.insert(argv.begin(), {"setpriv", "--reuid=" + nobody, "--regid=" + nobody, "--clear-groups"});
  return ChildProcess::start(argv, environment(asNobody), path(log));
}

std::unique_ptr<ChildProcess> AuthorizationDesktop::startHeld(std::vector<std::string> argv, bool asNobody,
                                                              const std::string& log) {
  const std::string errors = path(log + ".err");
  std::ofstream{errors};
  if (asNobody && ::chown(errors.c_str(), kNobody, kNobody) != 0) return nullptr;
  argv.insert(argv.begin(), {"sh", "-c", "while [ ! -e \"$1\" ]; do sleep 0.02; done; shift; exec \"$@\" 2>>\"$0\"",
                             errors, path("go")});
  return start(std::move(argv), asNobody, log);
}

void AuthorizationDesktop::release() { std::ofstream(path("go")).put('\n'); }

bool AuthorizationDesktop::call(bool system, std::vector<std::string> arguments, std::string* reply) {
  arguments.insert(arguments.begin(), {"busctl", "--timeout=10", "call",
                                       "--address=unix:path=" + path(system ? "system" : "session")});
  return runCommand(arguments, {}, 15, reply) == 0;
}

bool AuthorizationDesktop::waitForName(bool system, const std::string& name) {
  return eventually(
      [&] {
        std::string reply;
        return call(system, {"org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner", "s", name},
                    &reply) && reply.find("true") != std::string::npos;
      },
      20);
}

namespace {
// A bus every user may connect to, on the socket `folder`/`type`.
std::unique_ptr<ChildProcess> startBus(const std::string& folder, const std::string& type) {
  const std::string config = folder + "/" + type + ".conf";
  std::ofstream(config) << "<busconfig><type>" << type << "</type><listen>unix:path=" << folder << "/" << type
                        << "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/>"
                           "<allow own=\"*\"/><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                           "<allow eavesdrop=\"true\"/></policy></busconfig>";
  auto bus = ChildProcess::start({"dbus-daemon", "--nofork", "--config-file=" + config}, {}, config + ".log");
  return bus && eventually([&] { return fs::exists(folder + "/" + type); }, 20) ? std::move(bus) : nullptr;
}
}  // namespace

bool AuthorizationDesktop::startSystem(uid_t uid, bool polkit) {
  systemBus_ = startBus(folder_, "system");
  logind_ = start({"/usr/bin/python3", "-m", "dbusmock", "--template", "logind"}, false, "logind.log");
  if (!systemBus_ || !logind_ || !waitForName(true, kLogind) ||
      !call(true, {kLogind, "/org/freedesktop/login1", kMock, "AddSession", "ssusb", "c1", "seat0",
                   std::to_string(uid), uid == 0 ? "root" : "nobody", "true"}) ||
      !call(true, {kLogind, "/org/freedesktop/login1", kMock, "AddMethod", "sssss", "org.freedesktop.login1.Manager",
                   "GetSessionByPID", "u", "o", std::string("ret = dbus.ObjectPath('") + kSession + "')"})) {
    return false;
  }
  return !polkit || startPolkit();
}

bool AuthorizationDesktop::startPolkit() {
  polkitd_ = start({"/usr/lib/polkit-1/polkitd", "--no-debug"}, false, "polkitd.log");
  return polkitd_ && waitForName(true, "org.freedesktop.PolicyKit1");
}

bool AuthorizationDesktop::setLocked(bool locked) {
  return call(true, {kLogind, kSession, "org.freedesktop.login1.Session", "SetLockedHint", "b", locked ? "true" : "false"});
}

bool AuthorizationDesktop::startSession() {
  sessionBus_ = startBus(folder_, "session");
  display_ = std::make_unique<VirtualDisplay>();
  return sessionBus_ && !display_->name().empty();
}

bool AuthorizationDesktop::startAccessibility(bool enabled) {
  std::vector<std::string> argv{"/usr/libexec/at-spi-bus-launcher", "--launch-immediately"};
  if (enabled) argv.push_back("--a11y=1");
  launcher_ = start(argv, true, "at-spi-bus-launcher.log");
  return launcher_ && waitForName(false, "org.a11y.Bus");
}

std::string AuthorizationDesktop::agent(bool rootOnly) {
  std::string folder = folderOf(path("agent"), 0, 0755);
  char pattern[] = "/run/quorvel-agent-XXXXXX";
  if (rootOnly && rootOnly_.empty()) rootOnly_ = ::mkdtemp(pattern) ? folderOf(pattern, 0, 0755) : "";
  if (rootOnly) folder = rootOnly_;
  const std::string copy = folder + "/polkit-kde-authentication-agent-1";
  fs::copy_file(QUORVEL_AGENT_DIALOG, copy, fs::copy_options::overwrite_existing);
  return copy;
}

std::vector<std::string> linesAboutAgent(const std::vector<std::string>& lines, std::int64_t pid) {
  std::vector<std::string> kept;
  bool ours = true;
  for (const auto& line : lines) {
    if (startsWith(line, "SecurityAgent pid ")) {
      ours = startsWith(line, "SecurityAgent pid " + std::to_string(pid) + ",");
    } else if (!startsWith(line, "Accessible windows: ") && !startsWith(line, "Password fallback: ") &&
               !startsWith(line, "Safe direct input ready: ")) {
      ours = true;
    }
    if (ours) kept.push_back(line);
  }
  return kept;
}

std::vector<std::string> fileLines(const std::string& path) {
  std::ifstream file(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  return lines;
}

bool fileHasLine(const std::string& path, const std::string& line, double timeout) {
  return eventually(
      [&] {
        const auto lines = fileLines(path);
        return std::find(lines.begin(), lines.end(), line) != lines.end();
      },
      timeout);
}

}  // namespace quorvel::testing
