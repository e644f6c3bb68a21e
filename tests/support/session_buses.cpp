#include "support/session_buses.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/desktop_session.hpp"
#include "support/platform_fixture.hpp"

extern char** environ;

namespace quorvel::testing {
namespace {

constexpr double kStartTimeout = 15;
constexpr const char* kPython = "/usr/bin/python3";
constexpr const char* kLogind = "org.freedesktop.login1";
constexpr const char* kManagerPath = "/org/freedesktop/login1";
constexpr const char* kMock = "org.freedesktop.DBus.Mock";
constexpr const char* kSession = "org.freedesktop.login1.Session";

std::string sessionPath(const std::string& id) { return std::string(kManagerPath) + "/session/" + id; }

// The test's environment without pam_wrapper, which stays in the test process.
std::vector<char*> childEnvironment() {
  std::vector<char*> env;
  for (char** entry = environ; *entry; ++entry) {
    const std::string setting(*entry);
    if (setting.rfind("LD_PRELOAD=", 0) != 0 && setting.rfind("PAM_WRAPPER", 0) != 0) env.push_back(*entry);
  }
  env.push_back(nullptr);
  return env;
}

FixtureHook noBuses([] {
  const char* temporary = std::getenv("TMPDIR");
  const std::string none = std::string("unix:path=") + (temporary ? temporary : "/tmp") + "/no-bus-here";
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", none.c_str(), 1);
  ::setenv("DBUS_SESSION_BUS_ADDRESS", none.c_str(), 1);
  ::unsetenv("XDG_SESSION_ID");
});

}  // namespace

void SessionBuses::Child::stop() {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  if (!eventually([this] { return ::waitpid(pid, nullptr, WNOHANG) == pid; }, 3)) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  pid = -1;
}

// Output goes to `log` in the folder; `passFd` becomes the child's descriptor 3.
bool SessionBuses::spawn(Child& child, std::vector<std::string> argv, const std::string& log, int passFd) {
  child.stop();
  std::vector<char*> args;
  for (auto& argument : argv) args.push_back(argument.data());
  args.push_back(nullptr);
  const std::string output = folder_ + "/" + log;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  if (passFd >= 0) posix_spawn_file_actions_adddup2(&actions, passFd, 3);
  auto env = childEnvironment();
  if (::posix_spawn(&child.pid, args[0], &actions, nullptr, args.data(), env.data()) != 0) child.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return child.pid > 0;
}

SessionBuses::~SessionBuses() {
  lockScreen_.stop();
  logind_.stop();
  systemBus_.stop();
  sessionBus_.stop();
}

bool SessionBuses::startBus(bool system) {
  std::filesystem::create_directories(folder_);
  std::filesystem::remove(socket(system));
  std::ofstream(socket(system) + ".conf")
      << "<busconfig><type>custom</type><listen>unix:path=" << socket(system)
      << "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
         "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n";
  int ready[2];
  if (::pipe2(ready, O_CLOEXEC) != 0) return false;
  bool listening = spawn(system ? systemBus_ : sessionBus_,
                         {"/usr/bin/dbus-daemon", "--nofork", "--nopidfile", "--config-file=" + socket(system) + ".conf",
                          "--print-address=3"},
                         system ? "system-bus.log" : "session-bus.log", ready[1]);
  ::close(ready[1]);
  // The daemon prints its address once it listens.
  struct pollfd fd {ready[0], POLLIN, 0};
  char byte = 0;
  listening = listening && ::poll(&fd, 1, static_cast<int>(kStartTimeout * 1000)) > 0 && ::read(ready[0], &byte, 1) == 1;
  ::close(ready[0]);
  const char* variable = system ? "DBUS_SYSTEM_BUS_ADDRESS" : "DBUS_SESSION_BUS_ADDRESS";
  if (listening) ::setenv(variable, ("unix:path=" + socket(system)).c_str(), 1);
  return listening;
}

bool SessionBuses::start() {
  if (!startBus(true) || !startBus(false) || !startLogind()) return false;
  addSession(kOwnSession, static_cast<std::uint32_t>(::getuid()));
  addSession(kOtherSession, 4242);
  return startLockScreen();
}

void SessionBuses::stopSystemBus() {
  logind_.stop();
  systemBus_.stop();
}

// busctl (at most 15 s, without pam_wrapper); its output when the call succeeded.
std::optional<std::string> SessionBuses::call(bool system, std::vector<std::string> arguments) {
  std::string command = "env -u LD_PRELOAD -u PAM_WRAPPER timeout 15 busctl --timeout=10 call --address=unix:path=" +
                        socket(system);
  for (const auto& argument : arguments) {
    std::string quoted;
    for (char c : argument) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    command += " '" + quoted + "'";
  }
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return std::nullopt;
  std::string output;
  char buffer[4096];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, got);
  if (::pclose(pipe) != 0) return std::nullopt;
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
  return spawn(logind_, {kPython, "-m", "dbusmock", "--template", "logind"}, "logind.log") &&
         waitForName(true, kLogind) &&
         replaceManagerMethod("GetSessionByPID", "u", "o", "ret = dbus.ObjectPath('" + sessionPath(kOwnSession) + "')") &&
         replaceManagerMethod("UnlockSession", "s", "",
                              "objects['" + sessionPath("") + "' + args[0]].EmitSignal('" + kSession + "', 'Unlock', '', [])");
}

void SessionBuses::addSession(const std::string& id, std::uint32_t uid) {
  call(true, {kLogind, kManagerPath, kMock, "AddSession", "ssusb", id, "seat0", std::to_string(uid),
              id == kOwnSession ? kSessionUser : "other", "true"});
  // A way to change the hint that no signal announces (as a change missed while away would).
  call(true, {kLogind, sessionPath(id), kMock, "AddMethod", "sssss", kSession, "SetLockedHintQuietly", "b", "",
              std::string("self.props['") + kSession + "']['LockedHint'] = args[0]"});
}

bool SessionBuses::startLockScreen(const std::string& python) {
  return spawn(lockScreen_,
               {python, "-m", "dbusmock", "--template", QUORVEL_SOURCE_DIR "/tests/support/desktop_lock_screen.py", "-p",
                "{\"session\": \"" + sessionPath(kOwnSession) + "\"}"},
               "lock-screen.log") &&
         waitForName(false, "org.gnome.ScreenSaver");
}

bool SessionBuses::emitSessionSignal(const std::string& id, const std::string& member) {
  return call(true, {kLogind, sessionPath(id), kMock, "EmitSignal", "sssav", kSession, member, "", "0"}).has_value();
}

bool SessionBuses::setLockedHint(const std::string& id, bool locked) {
  return call(true, {kLogind, sessionPath(id), kSession, "SetLockedHint", "b", locked ? "true" : "false"}).has_value();
}

bool SessionBuses::setLockedHintQuietly(const std::string& id, bool locked) {
  return call(true, {kLogind, sessionPath(id), kSession, "SetLockedHintQuietly", "b", locked ? "true" : "false"})
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
  std::string all;
  for (const char* name : {"/logind.log", "/lock-screen.log"}) {
    std::ostringstream text;
    text << std::ifstream(folder_ + name).rdbuf();
    all += text.str();
  }
  return all;
}

}  // namespace quorvel::testing
