#include "polkit/authorization_desktop.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace quorvel::testing {

namespace fs = std::filesystem;

namespace {

constexpr double kStartTimeout = 20;
constexpr const char* kLogind = "org.freedesktop.login1";
constexpr const char* kSession = "/org/freedesktop/login1/session/c1";

std::vector<std::string> asUser(std::vector<std::string> argv, bool asNobody) {
  if (!asNobody) return argv;
  argv.insert(argv.begin(), {"setpriv", "--reuid=" + std::to_string(kNobody),
                             "--regid=" + std::to_string(kNobody), "--clear-groups"});
  return argv;
}

// A folder of `owner`, reachable by everyone.
std::string folderOf(const std::string& path, uid_t owner, fs::perms mode = fs::perms(0755)) {
  fs::create_directories(path);
  fs::permissions(path, mode);
  if (::chown(path.c_str(), owner, owner) != 0) return {};
  return path;
}

}  // namespace

AuthorizationDesktop::AuthorizationDesktop(const std::string& folder) {
  // The test's home is the test process's alone; nobody must reach the sockets inside.
  fs::permissions(fs::path(folder).parent_path(), fs::perms(0755));
  folder_ = folderOf(folder, 0);
  folderOf(path("nobody"), kNobody, fs::perms(0700));
  folderOf(path("root"), 0, fs::perms(0700));
}

AuthorizationDesktop::~AuthorizationDesktop() {
  launcher_.reset();
  display_.reset();
  polkitd_.reset();
  logind_.reset();
  sessionBus_.reset();
  systemBus_.reset();
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
    const auto equals = entry.find('=');
    if (entry.rfind("DBUS_", 0) == 0 || entry.rfind("DISPLAY", 0) == 0) {
      ::setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), 1);
    }
  }
}

std::unique_ptr<ChildProcess> AuthorizationDesktop::start(std::vector<std::string> argv, bool asNobody,
                                                          const std::string& log) {
  return ChildProcess::start(asUser(std::move(argv), asNobody), environment(asNobody), path(log));
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

bool AuthorizationDesktop::busCall(bool system, std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(),
                   {"busctl", "--timeout=10", "call", "--address=unix:path=" + path(system ? "system" : "session")});
  return runCommand(arguments, {}, 15) == 0;
}

bool AuthorizationDesktop::waitForName(bool system, const std::string& name) {
  return eventually(
      [&] {
        std::string reply;
        runCommand({"busctl", "--address=unix:path=" + path(system ? "system" : "session"), "call",
                    "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner", "s", name},
                   {}, 10, &reply);
        return reply.find("true") != std::string::npos;
      },
      kStartTimeout);
}

namespace {
// A bus every user may connect to, listening on `socket`.
std::unique_ptr<ChildProcess> startBus(const std::string& folder, const std::string& name) {
  const std::string config = folder + "/" + name + ".conf";
  std::ofstream(config) << "<busconfig><type>" << name << "</type><listen>unix:path=" << folder << "/" << name
                        << "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/>"
                           "<allow own=\"*\"/><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                           "<allow eavesdrop=\"true\"/></policy></busconfig>";
  return ChildProcess::start({"dbus-daemon", "--nofork", "--config-file=" + config}, {},
                             folder + "/" + name + "-bus.log");
}
}  // namespace

bool AuthorizationDesktop::startSystem(uid_t uid, bool polkit) {
  systemBus_ = startBus(folder_, "system");
  if (!systemBus_ || !eventually([&] { return fs::exists(path("system")); }, kStartTimeout)) return false;
  logind_ = start({"/usr/bin/python3", "-m", "dbusmock", "--template", "logind"}, false, "logind.log");
  const std::string user = uid == 0 ? "root" : "nobody";
  if (!logind_ || !waitForName(true, kLogind) ||
      !busCall(true, {kLogind, "/org/freedesktop/login1", "org.freedesktop.DBus.Mock", "AddSession", "ssusb", "c1",
                      "seat0", std::to_string(uid), user, "true"}) ||
      !busCall(true, {kLogind, "/org/freedesktop/login1", "org.freedesktop.DBus.Mock", "AddMethod", "sssss",
                      "org.freedesktop.login1.Manager", "GetSessionByPID", "u", "o",
                      std::string("ret = dbus.ObjectPath('") + kSession + "')"})) {
    return false;
  }
  if (!polkit) return true;
  polkitd_ = start({"/usr/lib/polkit-1/polkitd", "--no-debug"}, false, "polkitd.log");
  return polkitd_ && waitForName(true, "org.freedesktop.PolicyKit1");
}

bool AuthorizationDesktop::setLocked(bool locked) {
  return busCall(true, {kLogind, kSession, "org.freedesktop.login1.Session", "SetLockedHint", "b",
                        locked ? "true" : "false"});
}

bool AuthorizationDesktop::startSession() {
  sessionBus_ = startBus(folder_, "session");
  display_ = std::make_unique<VirtualDisplay>();
  return sessionBus_ && eventually([&] { return fs::exists(path("session")); }, kStartTimeout) &&
         !display_->name().empty();
}

bool AuthorizationDesktop::startAccessibility(bool enabled) {
  std::vector<std::string> argv{"/usr/libexec/at-spi-bus-launcher", "--launch-immediately"};
  if (enabled) argv.push_back("--a11y=1");
  launcher_ = start(argv, true, "at-spi-bus-launcher.log");
  return launcher_ && waitForName(false, "org.a11y.Bus");
}

std::string AuthorizationDesktop::agent(bool rootOnly) {
  std::string folder = path("agent");
  if (rootOnly) {
    char pattern[] = "/run/quorvel-agent-XXXXXX";
    if (!::mkdtemp(pattern)) return {};
    folder = rootOnly_ = folderOf(pattern, 0);
  }
  fs::create_directories(folder);
  const std::string copy = folder + "/" + kAgentName;
  fs::copy_file(QUORVEL_AGENT_DIALOG, copy, fs::copy_options::overwrite_existing);
  fs::permissions(copy, fs::perms(0755));
  return copy;
}

std::vector<std::string> linesAboutAgent(const std::vector<std::string>& lines, std::int64_t pid) {
  const auto starts = [](const std::string& line, const std::string& start) { return line.rfind(start, 0) == 0; };
  const std::string agent = "SecurityAgent pid " + std::to_string(pid) + ",";
  std::vector<std::string> kept;
  bool ours = true;
  for (const auto& line : lines) {
    if (starts(line, "SecurityAgent pid ")) {
      ours = starts(line, agent);
    } else if (!starts(line, "Accessible windows: ") && !starts(line, "Password fallback: ") &&
               !starts(line, "Safe direct input ready: ")) {
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
