#include "support/session_buses.hpp"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <sstream>

#include "support/B_helpers.hpp"
#include "support/desktop_session.hpp"
#include "support/platform_fixture.hpp"

namespace quorvel::testing {
namespace {

constexpr double kStartTimeout = 15;
constexpr const char* kLogind = "org.freedesktop.login1";
constexpr const char* kManagerPath = "/org/freedesktop/login1";
constexpr const char* kMock = "org.freedesktop.DBus.Mock";
constexpr const char* kSession = "org.freedesktop.login1.Session";
// The children's environment: pam_wrapper stays in the test process.
const std::vector<std::string> kWithoutPamWrapper{"LD_PRELOAD=", "PAM_WRAPPER="};

std::string sessionPath(const std::string& id) { return std::string(kManagerPath) + "/session/" + id; }

// Programs only root can have put in place: a folder made under /run (root's, writable by no
// one else), removed when the process ends. Each is python3 under another name, a hard link
// where the file system allows one (nothing to copy, nothing left if the process dies).
class SystemPrograms {
 public:
  ~SystemPrograms() {
    if (!folder_.empty()) removeTree(folder_);
  }
  std::string program(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (folder_.empty()) {
      char pattern[] = "/run/quorvel-programs-XXXXXX";
      if (!::mkdtemp(pattern)) return "";
      folder_ = pattern;
    }
    namespace fs = std::filesystem;
    const std::string path = folder_ + "/" + name;
    std::error_code error;
    if (fs::exists(path, error)) return path;
    const fs::path python = fs::canonical("/usr/bin/python3", error);
    if (error) return "";
    if (::link(python.c_str(), path.c_str()) != 0 && !fs::copy_file(python, path, error)) return "";
    return path;
  }

 private:
  std::mutex mutex_;
  std::string folder_;
};

FixtureHook noBuses([] {
  const char* temporary = std::getenv("TMPDIR");
  const std::string none = std::string("unix:path=") + (temporary ? temporary : "/tmp") + "/no-bus-here";
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", none.c_str(), 1);
  ::setenv("DBUS_SESSION_BUS_ADDRESS", none.c_str(), 1);
  ::unsetenv("XDG_SESSION_ID");
});

}  // namespace

SessionBuses::SessionBuses(std::string folder) : folder_(std::move(folder)) {}

SessionBuses::~SessionBuses() {
  services_.clear();
  lockScreen_.reset();
  logind_.reset();
  systemBus_.reset();
  sessionBus_.reset();
}

// A python3-dbusmock service; its output goes to `log` in the folder.
bool SessionBuses::startMock(std::unique_ptr<ChildProcess>& mock, std::vector<std::string> argv,
                             const std::string& log) {
  mock.reset();
  mock = ChildProcess::start(argv, kWithoutPamWrapper, folder_ + "/" + log);
  return mock != nullptr;
}

bool SessionBuses::startBus(bool system) {
  auto& bus = system ? systemBus_ : sessionBus_;
  bus.reset();
  bus =
      std::make_unique<PrivateBus>(folder_ + (system ? "/system" : "/session"), kWithoutPamWrapper);
  if (bus->address().empty()) return false;
  // Its socket rather than the printed address, whose GUID a restarted daemon would not match.
  ::setenv(system ? "DBUS_SYSTEM_BUS_ADDRESS" : "DBUS_SESSION_BUS_ADDRESS",
           ("unix:path=" + bus->socket()).c_str(), 1);
  return true;
}

bool SessionBuses::start() {
  if (!startBus(true) || !startBus(false) || !startLogind()) return false;
  addSession(kOwnSession, static_cast<std::uint32_t>(::getuid()));
  addSession(kOtherSession, 4242);
  return startLockScreen();
}

bool SessionBuses::startWithoutLockScreen() {
  if (!startBus(true) || !startBus(false) || !startLogind()) return false;
  addSession(kOwnSession, static_cast<std::uint32_t>(::getuid()));
  addSession(kOtherSession, 4242);
  return replaceManagerMethod("GetSession", "s", "o",
                              "ret = dbus.ObjectPath('" + sessionPath("") + "' + ('" + kOwnSession +
                                  "' if args[0] in ('auto', 'self') else args[0]))");
}

std::optional<bool> SessionBuses::lockedHint(const std::string& id) {
  const std::string socket = folder_ + "/system/bus";
  std::string output;
  if (runCommand({"busctl", "--timeout=10", "get-property", "--address=unix:path=" + socket, kLogind, sessionPath(id),
                  kSession, "LockedHint"},
                 kWithoutPamWrapper, 15, &output) != 0) {
    return std::nullopt;
  }
  return output.find("true") != std::string::npos;
}

pid_t SessionBuses::lockScreenPID() const {
  return lockScreen_ ? static_cast<pid_t>(lockScreen_->pid()) : -1;
}

void SessionBuses::stopLockScreen() { lockScreen_.reset(); }

std::string SessionBuses::systemProgram(const std::string& name) {
  static SystemPrograms programs;
  return programs.program(name);
}

std::string SessionBuses::lockScreenProgram() { return systemProgram("gnome-shell"); }

bool SessionBuses::setLockScreenFollowsUnlock(bool follows) {
  return call(false, {"org.gnome.Shell.ScreenShield", "/org/gnome/ScreenSaver", "org.freedesktop.DBus.Mock.LockScreen",
                      "FollowUnlock", "b", follows ? "true" : "false"})
      .has_value();
}

void SessionBuses::stopServices() { services_.clear(); }

bool SessionBuses::startService(const std::string& program, const std::string& name, const std::string& path,
                                const std::string& interface, bool systemBus) {
  std::unique_ptr<ChildProcess> service;
  std::vector<std::string> argv{program, "-m", "dbusmock"};
  if (systemBus) argv.push_back("--system");
  argv.insert(argv.end(), {name, path, interface});
  if (!startMock(service, argv, "services.log") || !waitForName(systemBus, name)) return false;
  services_.push_back(std::move(service));
  return true;
}
void SessionBuses::stopLogind() { logind_.reset(); }

void SessionBuses::stopSystemBus() {
  logind_.reset();
  systemBus_.reset();
}

// busctl (at most 15 s); its output when the call succeeded.
std::optional<std::string> SessionBuses::call(bool system, std::vector<std::string> arguments) {
  const std::string socket = folder_ + (system ? "/system/bus" : "/session/bus");
  arguments.insert(arguments.begin(),
                   {"busctl", "--timeout=10", "call", "--address=unix:path=" + socket});
  std::string output;
  if (runCommand(arguments, kWithoutPamWrapper, 15, &output) != 0) return std::nullopt;
  return output;
}

bool SessionBuses::waitForName(bool system, const std::string& name) {
  return eventually(
      [&] {
        auto reply = call(system, {"org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner", "s", name});
        return reply && reply->find("true") != std::string::npos;
      },
      kStartTimeout);
}

bool SessionBuses::startLogind() {
  return startMock(logind_, {"/usr/bin/python3", "-m", "dbusmock", "--template", "logind"},
                   "logind.log") &&
         waitForName(true, kLogind) &&
         replaceManagerMethod("GetSessionByPID", "u", "o",
                              "ret = dbus.ObjectPath('" + sessionPath(kOwnSession) + "')") &&
         replaceManagerMethod("UnlockSession", "s", "",
                              "objects['" + sessionPath("") + "' + args[0]].EmitSignal('" +
                                  kSession + "', 'Unlock', '', [])");
}

void SessionBuses::addSession(const std::string& id, std::uint32_t uid) {
  call(true, {kLogind, kManagerPath, kMock, "AddSession", "ssusb", id, "seat0", std::to_string(uid),
              id == kOwnSession ? kSessionUser : "other", "true"});
  // A way to change the hint that no signal announces (as a change missed while away would).
  call(true, {kLogind, sessionPath(id), kMock, "AddMethod", "sssss", kSession, "SetLockedHintQuietly", "b", "",
              std::string("self.props['") + kSession + "']['LockedHint'] = args[0]"});
}

bool SessionBuses::startLockScreen(const std::string& python) {
  if (python.empty()) return false;
  return startMock(lockScreen_,
                   {python, "-m", "dbusmock", "--template",
                    QUORVEL_SOURCE_DIR "/tests/support/desktop_lock_screen.py", "-p",
                    "{\"session\": \"" + sessionPath(kOwnSession) + "\"}"},
                   "lock-screen.log") &&
         waitForName(false, "org.gnome.Shell.ScreenShield");
}

bool SessionBuses::emitSessionSignal(const std::string& id, const std::string& member) {
  return call(true, {kLogind, sessionPath(id), kMock, "EmitSignal", "sssav", kSession, member, "", "0"}).has_value();
}

bool SessionBuses::setLockedHint(const std::string& id, bool locked, bool quietly) {
  return call(true,
              {kLogind, sessionPath(id), kSession,
               quietly ? "SetLockedHintQuietly" : "SetLockedHint", "b", locked ? "true" : "false"})
      .has_value();
}

bool SessionBuses::emitPrepareForSleep(bool sleeping) {
  return call(true, {kLogind, kManagerPath, kMock, "EmitSignal", "sssav", "org.freedesktop.login1.Manager",
                     "PrepareForSleep", "b", "1", "b", sleeping ? "true" : "false"})
      .has_value();
}

bool SessionBuses::replaceManagerMethod(const std::string& method, const std::string& in, const std::string& out,
                                        const std::string& code) {
  return call(true, {kLogind, kManagerPath, kMock, "AddMethod", "sssss", "org.freedesktop.login1.Manager", method, in,
                     out, code})
      .has_value();
}

int SessionBuses::managerCalls(const std::string& method) {
  // The reply reads "a(tav) N ...": N calls.
  std::istringstream words(call(true, {kLogind, kManagerPath, kMock, "GetMethodCalls", "s", method}).value_or(""));
  std::string type;
  int count = -1;
  words >> type >> count;
  return count;
}

std::string SessionBuses::servicesLog() const {
  return fileText(folder_ + "/logind.log") + fileText(folder_ + "/lock-screen.log") +
         fileText(folder_ + "/services.log");
}

}  // namespace quorvel::testing
