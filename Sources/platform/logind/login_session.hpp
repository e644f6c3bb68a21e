// This process's login session as systemd-logind and the desktop know it. It is what the
// Linux implementations of the session-related platform areas stand on:
//
//   original platform                     on Linux (this file)
//   ------------------------------------  ----------------------------------------------------
//   "com.apple.screenIsLocked" /          our session's `LockedHint` turning true / false,
//   "com.apple.screenIsUnlocked"          each change reported once: the lock screen says so
//                                         (logind's `Lock` and `Unlock` signals only ask it to)
//   screens did sleep / did wake          the manager's `PrepareForSleep(true)` / `(false)`
//   the session dictionary's lock key     `LockedHint`, read live
//   the login window                      while our session is locked: the desktop's lock
//                                         screen, the process that draws it, known by the name
//                                         it owns on the session bus and its program (GNOME
//                                         Shell, KDE's kwin_wayland or ksmserver, MATE's and
//                                         Xfce's screen savers); genuine when it is that
//                                         program and its executable lies in a system folder
//                                         the user cannot write
//   lighting the display                  the desktop's own call (GNOME: Mutter's idle
//                                         monitor's `ResetIdletime`; the others: their screen
//                                         saver's `SimulateUserActivity`)
//   the login window accepting a password PAM accepts it for the session's user; then logind
//                                         is asked to unlock our session (`UnlockSession`)
//
// Our session is the one logind names for this process: the session of `XDG_SESSION_ID`,
// else the session of our process (`GetSessionByPID`), else logind's "auto" session (for a
// process the user's service manager started), and only when it belongs to our user. A
// session of another user is never watched or touched.
//
// The system bus and the session bus each run on a thread of their own (platform/dbus).
// Listeners hear events on the system bus's thread. Queries from other threads wait at most
// a fraction of a second; when the bus, logind or the desktop cannot answer, the query
// answers as the missing facility would (no session, not locked, no lock screen), and the
// failure is logged once until it mends.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/log/log.hpp"

namespace platform::dbus {
class Connection;
}

namespace platform::logind {

enum class SessionEvent { locked, unlocked, sleeping, woke };

struct SessionIdentity {
  std::string id;
  std::string path;  // the session's object path
  std::uint32_t uid = 0;
  std::string user;
};

// The session's lock screen (see above), or the process that owns a lock screen's name.
struct LockScreen {
  std::int32_t pid = 0;
  std::string executable;  // the path of the process's executable, as the kernel gives it
  bool genuine = false;
};

// The PAM service through which the lock screen's password is checked.
inline constexpr const char* kPamService = "quorvel";

class LoginSession {
 public:
  // The process-wide instance (made on first use).
  static std::shared_ptr<LoginSession> shared();

  LoginSession();
  ~LoginSession();
  LoginSession(const LoginSession&) = delete;
  LoginSession& operator=(const LoginSession&) = delete;

  using Listener = std::function<void(SessionEvent)>;
  std::uint64_t addListener(Listener listener);
  void removeListener(std::uint64_t token);

  // Our session, once logind has named it (waits a moment for the first answer).
  std::optional<SessionIdentity> session();
  // The session's `LockedHint`, read from logind now.
  std::optional<bool> lockedHint();
  // Counts the session's lock and unlock events; a password typed under one lock is never
  // used to unlock another.
  std::uint64_t lockGeneration() const { return generation_.load(); }
  // Asks logind to unlock our session, unless it locked or unlocked again since `generation`.
  void unlock(std::uint64_t generation);

  // That process while our session is locked; none otherwise.
  std::optional<LockScreen> lockScreen();
  // Asks the genuine lock screen's desktop to light the display; false when there is none.
  bool simulateUserActivity();

 private:
  friend struct SignalHandlers;
  // The system bus's signals, on its thread.
  void handleLockedHint(const std::string& path, std::optional<bool> value, bool invalidated);
  void handleSleep(bool sleeping);
  void handleLogindOwner(bool present);
  void connected(void* bus);
  void disconnected();
  void resolve(void* bus);
  void settle(std::optional<SessionIdentity> identity, std::optional<bool> locked);
  bool sessionKnown();
  void applyLocked(bool locked);
  void emit(SessionEvent event);
  void reportFailure(const std::string& message);
  void reportSuccess();
  std::optional<LockScreen> findLockScreen();

  // Read once: the environment may change later, the session does not.
  const std::string sessionIdFromEnvironment_;

  std::mutex listenersMutex_;
  std::map<std::uint64_t, Listener> listeners_;
  std::uint64_t nextToken_ = 1;

  std::mutex stateMutex_;
  std::condition_variable settledChanged_;
  bool settled_ = false;
  std::optional<SessionIdentity> identity_;
  std::string lastFailure_;

  // System bus thread only.
  std::optional<bool> reportedLocked_;
  bool resolving_ = false;
  std::uint64_t connectionEpoch_ = 0;

  std::atomic<std::uint64_t> generation_{0};
  std::atomic<bool> stopping_{false};

  // Last: the bus threads stop before anything they use goes away.
  std::unique_ptr<dbus::Connection> system_;
  std::unique_ptr<dbus::Connection> sessionBus_;
};

// The log of the session layers (subsystem "com.tessmin.quorvel.linux", category "session").
const platform::log::Logger& sessionLog();

// Whether `path` is an executable that only the system can have put there: a regular file
// that it and every folder above it are owned by root and writable by no group and no one
// else.
bool isSystemExecutable(const std::string& path);
// Whether process `pid` runs the system executable `path` (its executable as the kernel names
// it): the very file, not only one of that name, since a process of another mount namespace
// names its executable by a path of that namespace.
bool runsSystemExecutable(std::int32_t pid, const std::string& path);

}  // namespace platform::logind
