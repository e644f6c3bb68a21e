#include "support/session_buses.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/platform_fixture.hpp"

namespace quorvel::testing {
namespace {

constexpr double kStartTimeout = 15;
const char* const kPython = "/usr/bin/python3";

std::string readFile(const std::string& path) {
  std::ifstream file(path);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// Every test starts with no bus: the Linux session layers find none unless it starts its own.
FixtureHook noBuses([] {
  const char* temporary = std::getenv("TMPDIR");
  const std::string none = std::string("unix:path=") + (temporary ? temporary : "/tmp") + "/no-bus-here";
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", none.c_str(), 1);
  ::setenv("DBUS_SESSION_BUS_ADDRESS", none.c_str(), 1);
  ::unsetenv("XDG_SESSION_ID");
});

}  // namespace

SessionBuses::SessionBuses(std::string folder) : folder_(std::move(folder)) {
  std::filesystem::create_directories(folder_);
}

SessionBuses::~SessionBuses() {
  // Services first, then what they are connected to.
  systemMonitor_.stop();
  sessionMonitor_.stop();
  lockScreen_.stop();
  logind_.stop();
  systemBus_.stop();
  sessionBus_.stop();
}

std::string SessionBuses::address(Bus bus) const {
  return "unix:path=" + folder_ + (bus == Bus::system ? "/system_bus" : "/session_bus");
}

bool SessionBuses::startBus(Bus bus) {
  const std::string name = bus == Bus::system ? "system" : "session";
  const std::string socket = folder_ + "/" + name + "_bus";
  std::filesystem::remove(socket);
  const std::string config = folder_ + "/" + name + ".conf";
  std::ofstream(config) << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                           "<busconfig>\n"
                           "  <type>"
                        << name << "</type>\n  <listen>unix:path=" << socket
                        << "</listen>\n"
                           "  <auth>EXTERNAL</auth>\n"
                           "  <policy context=\"default\">\n"
                           "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                           "    <allow eavesdrop=\"true\"/>\n"
                           "    <allow own=\"*\"/>\n"
                           "  </policy>\n"
                           "</busconfig>\n";
  int ready[2];
  if (::pipe2(ready, O_CLOEXEC) != 0) return false;
  ChildProcess& daemon = bus == Bus::system ? systemBus_ : sessionBus_;
  const bool started = daemon.start({"/usr/bin/dbus-daemon", "--nofork", "--nopidfile", "--config-file=" + config,
                                     "--print-address=3"},
                                    {}, folder_ + "/" + name + "-daemon.log", ready[1]);
  ::close(ready[1]);
  // The daemon prints its address once it listens.
  struct pollfd fd {ready[0], POLLIN, 0};
  char byte = 0;
  const bool listening = started && ::poll(&fd, 1, static_cast<int>(kStartTimeout * 1000)) > 0 && ::read(ready[0], &byte, 1) == 1;
  ::close(ready[0]);
  if (!listening) return false;
  ::setenv(bus == Bus::system ? "DBUS_SYSTEM_BUS_ADDRESS" : "DBUS_SESSION_BUS_ADDRESS", address(bus).c_str(), 1);
  return true;
}

bool SessionBuses::start() { return startBus(Bus::system) && startBus(Bus::session); }

void SessionBuses::stopSystemBus() {
  systemMonitor_.stop();
  logind_.stop();
  systemBus_.stop();
}

bool SessionBuses::startSystemBus() { return startBus(Bus::system); }

std::optional<std::string> SessionBuses::call(Bus bus, const std::vector<std::string>& arguments) {
  std::vector<std::string> argv{"/usr/bin/busctl", "--address=" + address(bus), "--timeout=10", "call"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  auto result = runCommand(argv, {}, 15);
  if (result.status != 0) return std::nullopt;
  return result.output;
}

bool SessionBuses::waitForName(Bus bus, const std::string& name) {
  return waitUntil(
      [&] {
        auto reply = call(bus, {"org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                "NameHasOwner", "s", name});
        return reply && reply->find("true") != std::string::npos;
      },
      kStartTimeout);
}

bool SessionBuses::startLogind(const std::string& ownSession) {
  if (!logind_.start({kPython, "-m", "dbusmock", "--template", "logind"}, {}, folder_ + "/logind.log")) return false;
  if (!waitForName(Bus::system, kLogind)) return false;
  const std::string mock = "org.freedesktop.DBus.Mock";
  return call(Bus::system, {kLogind, kManagerPath, mock, "AddMethod", "sssss", "org.freedesktop.login1.Manager",
                            "GetSessionByPID", "u", "o",
                            "ret = dbus.ObjectPath('" + sessionPath(ownSession) + "')"}) &&
         call(Bus::system, {kLogind, kManagerPath, mock, "AddMethod", "sssss", "org.freedesktop.login1.Manager",
                            "UnlockSession", "s", "",
                            "objects['" + std::string(kManagerPath) +
                                "/session/' + args[0]].EmitSignal('org.freedesktop.login1.Session', 'Unlock', '', [])"});
}

std::string SessionBuses::addSession(const std::string& id, std::uint32_t uid, const std::string& user) {
  call(Bus::system, {kLogind, kManagerPath, "org.freedesktop.DBus.Mock", "AddSession", "ssusb", id, "seat0",
                     std::to_string(uid), user, "true"});
  // A way to change the hint that no signal announces (as a change missed while away would).
  call(Bus::system, {kLogind, sessionPath(id), "org.freedesktop.DBus.Mock", "AddMethod", "sssss",
                     "org.freedesktop.login1.Session", "SetLockedHintQuietly", "b", "",
                     "self.props['org.freedesktop.login1.Session']['LockedHint'] = args[0]"});
  return sessionPath(id);
}

bool SessionBuses::startLockScreen(const std::string& id, const std::string& python) {
  const std::string parameters = "{\"session\": \"" + sessionPath(id) + "\", \"delay_ms\": 20}";
  if (!lockScreen_.start({python, "-m", "dbusmock", "--template", QUORVEL_SOURCE_DIR "/tests/support/desktop_lock_screen.py",
                          "-p", parameters},
                         {}, folder_ + "/lock-screen.log")) {
    return false;
  }
  return waitForName(Bus::session, "org.gnome.ScreenSaver");
}

bool SessionBuses::emitSessionSignal(const std::string& id, const std::string& member) {
  return call(Bus::system, {kLogind, sessionPath(id), "org.freedesktop.DBus.Mock", "EmitSignal", "sssav",
                            "org.freedesktop.login1.Session", member, "", "0"})
      .has_value();
}

bool SessionBuses::setLockedHint(const std::string& id, bool locked) {
  return call(Bus::system, {kLogind, sessionPath(id), "org.freedesktop.login1.Session", "SetLockedHint", "b",
                            locked ? "true" : "false"})
      .has_value();
}

bool SessionBuses::setLockedHintQuietly(const std::string& id, bool locked) {
  return call(Bus::system, {kLogind, sessionPath(id), "org.freedesktop.login1.Session", "SetLockedHintQuietly", "b",
                            locked ? "true" : "false"})
      .has_value();
}

bool SessionBuses::emitPrepareForSleep(bool sleeping) {
  return call(Bus::system, {kLogind, kManagerPath, "org.freedesktop.DBus.Mock", "EmitSignal", "sssav",
                            "org.freedesktop.login1.Manager", "PrepareForSleep", "b", "1", "b",
                            sleeping ? "true" : "false"})
      .has_value();
}

int SessionBuses::managerCalls(const std::string& method) {
  // The reply reads "a(tav) N ...": N calls.
  auto reply = call(Bus::system, {kLogind, kManagerPath, "org.freedesktop.DBus.Mock", "GetMethodCalls", "s", method});
  if (!reply) return -1;
  std::istringstream words(*reply);
  std::string type;
  int count = -1;
  words >> type >> count;
  return count;
}

bool SessionBuses::delayManagerMethod(const std::string& method, const std::string& in, const std::string& out,
                                      const std::string& result, double seconds) {
  return call(Bus::system, {kLogind, kManagerPath, "org.freedesktop.DBus.Mock", "AddMethod", "sssss",
                            "org.freedesktop.login1.Manager", method, in, out,
                            "import time; time.sleep(" + std::to_string(seconds) + "); " + result})
      .has_value();
}

bool SessionBuses::startMonitors() {
  for (Bus bus : {Bus::system, Bus::session}) {
    const std::string file = folder_ + (bus == Bus::system ? "/system-traffic.txt" : "/session-traffic.txt");
    ChildProcess& monitor = bus == Bus::system ? systemMonitor_ : sessionMonitor_;
    if (!monitor.start({"/usr/bin/dbus-monitor", "--address", address(bus)}, {}, file)) return false;
    // Listening once a call made now shows up in its record.
    const bool listening = waitUntil(
        [&] {
          call(bus, {"org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetId"});
          return readFile(file).find("member=GetId") != std::string::npos;
        },
        kStartTimeout);
    if (!listening) return false;
  }
  return true;
}

std::string SessionBuses::recordedTraffic() const {
  std::string all;
  for (const char* name : {"/system-traffic.txt", "/session-traffic.txt", "/logind.log", "/lock-screen.log"}) {
    all += readFile(folder_ + name);
  }
  return all;
}

}  // namespace quorvel::testing
