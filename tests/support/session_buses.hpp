// The buses and services of a login session, for one test: a private system bus and session
// bus (dbus-daemon, configuration and sockets in the test's folder), logind played by
// python3-dbusmock's logind template, and the desktop's lock screen played by a dbusmock
// service (support/desktop_lock_screen.py) that owns the screen-saver service and, like a
// desktop whose lock screen follows logind, sets the session's LockedHint a moment after
// logind's `Lock` or `Unlock`. While it lives, the process's bus addresses point at these
// buses. Calls to the services go through busctl; every daemon is ended by its PID.
//
// A fixture hook gives every test an environment without any bus, so the Linux session
// layers find none unless a test starts its own.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorvel::testing {

inline constexpr const char* kOwnSession = "c1";  // this process's, of the user kSessionUser
inline constexpr const char* kOtherSession = "c2";  // another user's
inline constexpr const char* kSessionUser = "tester";

class SessionBuses {
 public:
  // Sockets, configurations and the services' logs go into `folder`.
  explicit SessionBuses(std::string folder) : folder_(std::move(folder)) {}
  ~SessionBuses();

  // Both buses, logind with the sessions kOwnSession and kOtherSession, and the lock screen.
  bool start();
  // The system bus's daemon ends (logind with it) or starts again at the same address.
  void stopSystemBus();
  bool startSystemBus() { return startBus(true); }
  // logind, with `GetSessionByPID` naming kOwnSession and `UnlockSession` emitting `Unlock`.
  bool startLogind();
  void stopLogind() { logind_.stop(); }
  void addSession(const std::string& id, std::uint32_t uid);
  // The lock screen of kOwnSession, run by `python` (a copy elsewhere runs it from another
  // folder).
  bool startLockScreen(const std::string& python = "/usr/bin/python3");
  void stopLockScreen() { lockScreen_.stop(); }
  pid_t lockScreenPID() const { return lockScreen_.pid; }

  bool emitSessionSignal(const std::string& id, const std::string& member);  // "Lock" / "Unlock"
  bool setLockedHint(const std::string& id, bool locked);                    // with PropertiesChanged
  bool setLockedHintQuietly(const std::string& id, bool locked);             // without any signal
  bool emitPrepareForSleep(bool sleeping);
  // Makes logind's manager answer `method` with `code` (Python, as dbusmock runs it).
  bool replaceManagerMethod(const std::string& method, const std::string& in, const std::string& out,
                            const std::string& code);
  // How often logind's manager was asked `method`.
  int managerCalls(const std::string& method);
  // Every call the services received, with its arguments.
  std::string servicesLog() const;

 private:
  // A daemon or service the test started, ended by its PID (SIGTERM, then SIGKILL).
  struct Child {
    pid_t pid = -1;
    void stop();
    ~Child() { stop(); }
  };
  bool spawn(Child& child, std::vector<std::string> argv, const std::string& log, int passFd = -1);
  bool startBus(bool system);
  std::optional<std::string> call(bool system, std::vector<std::string> arguments);
  bool waitForName(bool system, const std::string& name);
  std::string socket(bool system) const { return folder_ + (system ? "/system_bus" : "/session_bus"); }

  std::string folder_;
  Child systemBus_, sessionBus_, logind_, lockScreen_;
};

}  // namespace quorvel::testing
