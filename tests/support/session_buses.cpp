#include "support/session_buses.hpp"

#include <unistd.h>

#include <cstdlib>
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
  return startMock(lockScreen_,
                   {python, "-m", "dbusmock", "--template",
                    QUORVEL_SOURCE_DIR "/tests/support/desktop_lock_screen.py", "-p",
                    "{\"session\": \"" + sessionPath(kOwnSession) + "\"}"},
                   "lock-screen.log") &&
         waitForName(false, "org.gnome.ScreenSaver");
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
  return fileText(folder_ + "/logind.log") + fileText(folder_ + "/lock-screen.log");
}

}  // namespace quorvel::testing
