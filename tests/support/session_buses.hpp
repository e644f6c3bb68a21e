// The buses and services of a login session, for one test: a private system bus and session
// bus (dbus-daemon with a configuration of the test's own, sockets in the test's folder),
// logind played by python3-dbusmock's logind template, and the desktop's lock screen played
// by a dbusmock service (support/desktop_lock_screen.py) that owns the screen-saver service
// and, like a desktop whose lock screen follows logind, sets the session's LockedHint a
// moment after logind's `Lock` or `Unlock`. While it lives, the process's bus addresses point
// at these buses. Calls to the services go through busctl. Every daemon is ended by its PID.
//
// A fixture hook gives every test a process environment without any bus, so the Linux
// session layers find none unless a test starts its own.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/child_process.hpp"

namespace quorvel::testing {

class SessionBuses {
 public:
  static constexpr const char* kLogind = "org.freedesktop.login1";
  static constexpr const char* kManagerPath = "/org/freedesktop/login1";

  // Sockets, configurations and logs go into `folder`.
  explicit SessionBuses(std::string folder);
  ~SessionBuses();

  enum class Bus { system, session };
  // Starts both buses and points DBUS_SYSTEM_BUS_ADDRESS and DBUS_SESSION_BUS_ADDRESS at them.
  bool start();
  // The system bus's daemon ends (every service on it with it) or starts again at the same
  // address.
  void stopSystemBus();
  bool startSystemBus();

  // logind, with `GetSessionByPID` naming `ownSession` for any process and `UnlockSession`
  // emitting the session's `Unlock` signal.
  bool startLogind(const std::string& ownSession = "c1");
  void stopLogind() { logind_.stop(); }
  // A session of `uid` (its user named `user`); returns its object path.
  std::string addSession(const std::string& id, std::uint32_t uid, const std::string& user);
  static std::string sessionPath(const std::string& id) { return std::string(kManagerPath) + "/session/" + id; }

  // The desktop's lock screen for the session `id`, run by `python` (a copy of the
  // interpreter elsewhere makes a lock screen from another folder).
  bool startLockScreen(const std::string& id, const std::string& python = "/usr/bin/python3");
  void stopLockScreen() { lockScreen_.stop(); }
  pid_t lockScreenPID() const { return lockScreen_.pid(); }

  // What happens to a session, as logind and the desktop make it happen.
  bool emitSessionSignal(const std::string& id, const std::string& member);  // "Lock" / "Unlock"
  bool setLockedHint(const std::string& id, bool locked);                    // with PropertiesChanged
  bool setLockedHintQuietly(const std::string& id, bool locked);             // without any signal
  bool emitPrepareForSleep(bool sleeping);
  // How often logind's manager was asked `method`.
  int managerCalls(const std::string& method);
  // Makes logind answer `method` only after `seconds` (it hangs meanwhile).
  bool delayManagerMethod(const std::string& method, const std::string& in, const std::string& out,
                          const std::string& result, double seconds);

  // Records every message on both buses (dbus-monitor), for checks of what went over them.
  bool startMonitors();
  // The monitors' records and the services' logs so far.
  std::string recordedTraffic() const;

  // Calls a method with busctl; its printed reply, or none when the call failed.
  std::optional<std::string> call(Bus bus, const std::vector<std::string>& arguments);

  const std::string& folder() const { return folder_; }

 private:
  bool startBus(Bus bus);
  bool waitForName(Bus bus, const std::string& name);
  std::string address(Bus bus) const;

  std::string folder_;
  ChildProcess systemBus_;
  ChildProcess sessionBus_;
  ChildProcess logind_;
  ChildProcess lockScreen_;
  ChildProcess systemMonitor_;
  ChildProcess sessionMonitor_;
};

}  // namespace quorvel::testing
