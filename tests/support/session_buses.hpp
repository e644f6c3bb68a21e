// The buses and services of a login session, for one test: a private system bus and session
// bus (dbus-daemon, configuration and sockets in the test's folder), logind played by
// python3-dbusmock's logind template, and the desktop's lock screen played by a dbusmock
// service (support/desktop_lock_screen.py) that owns what GNOME Shell owns on the session bus
// and, like a desktop whose lock screen follows logind, sets the session's LockedHint a moment
// after logind's `Lock` or `Unlock`. It runs as a program named gnome-shell from a folder only
// root can write, as the session layers require of a lock screen. While it lives, the
// process's bus addresses point at these buses. Calls to the services go through busctl; every
// daemon is ended by its PID, and none carries the test process's pam_wrapper.
//
// A fixture hook gives every test an environment without any bus, so the Linux session
// layers find none unless a test starts its own.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quorvel::testing {

class ChildProcess;
class PrivateBus;

inline constexpr const char* kOwnSession = "c1";  // this process's, of the user kSessionUser
inline constexpr const char* kOtherSession = "c2";  // another user's
inline constexpr const char* kSessionUser = "tester";

class SessionBuses {
 public:
  // Sockets, configurations and the services' logs go into `folder`.
  explicit SessionBuses(std::string folder);
  ~SessionBuses();

  // Both buses, logind with the sessions kOwnSession and kOtherSession, and the lock screen.
  bool start();
  // The same without the lock screen, for a desktop's own, which finds its session by asking
  // logind for "auto" (answered, as "self" too, with kOwnSession).
  bool startWithoutLockScreen();
  // The session's LockedHint as logind holds it; absent when logind does not answer.
  std::optional<bool> lockedHint(const std::string& id);
  // The system bus's daemon ends (logind with it) or starts again at the same address.
  void stopSystemBus();
  bool startSystemBus() { return startBus(true); }
  // logind, with `GetSessionByPID` naming kOwnSession and `UnlockSession` emitting `Unlock`.
  bool startLogind();
  void stopLogind();
  void addSession(const std::string& id, std::uint32_t uid);
  // The lock screen of kOwnSession, run by `python` (a copy elsewhere runs it from another
  // folder).
  bool startLockScreen(const std::string& python = lockScreenProgram());
  void stopLockScreen();
  pid_t lockScreenPID() const;
  // Whether the lock screen follows logind's `Unlock` (it does from its start) or ignores it.
  bool setLockScreenFollowsUnlock(bool follows);

  // A copy of the system's python3 named `name`, in a folder only root can write (made once
  // per process, removed when it ends); empty when it cannot be made.
  static std::string systemProgram(const std::string& name);
  // The lock screen's program: systemProgram("gnome-shell").
  static std::string lockScreenProgram();
  // The session bus alone (start() starts it too).
  bool startSessionBus() { return startBus(false); }
  // Another python3-dbusmock service run by `program` (a python3): `name` on the session bus
  // (or the system bus), with an object at `path` whose methods and properties are added
  // through the mock's interface. It ends with the buses.
  bool startService(const std::string& program, const std::string& name, const std::string& path,
                    const std::string& interface, bool systemBus = false);
  void stopServices();
  // A busctl call on the system bus (or the session bus): its output when it succeeded.
  std::optional<std::string> call(bool system, std::vector<std::string> arguments);
  // Waits (at most 15 s) until `name` has an owner on that bus.
  bool waitForName(bool system, const std::string& name);

  bool emitSessionSignal(const std::string& id, const std::string& member);  // "Lock" / "Unlock"
  // With PropertiesChanged, or `quietly` without any signal.
  bool setLockedHint(const std::string& id, bool locked, bool quietly = false);
  bool emitPrepareForSleep(bool sleeping);
  // Makes logind's manager answer `method` with `code` (Python, as dbusmock runs it).
  bool replaceManagerMethod(const std::string& method, const std::string& in, const std::string& out,
                            const std::string& code);
  // How often logind's manager was asked `method`.
  int managerCalls(const std::string& method);
  // Every call the services received, with its arguments.
  std::string servicesLog() const;

 private:
  bool startMock(std::unique_ptr<ChildProcess>& mock, std::vector<std::string> argv,
                 const std::string& log);
  bool startBus(bool system);

  std::string folder_;
  std::unique_ptr<PrivateBus> systemBus_, sessionBus_;
  std::unique_ptr<ChildProcess> logind_, lockScreen_;
  std::vector<std::unique_ptr<ChildProcess>> services_;
};

}  // namespace quorvel::testing
