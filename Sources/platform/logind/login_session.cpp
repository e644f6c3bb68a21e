#include "platform/logind/login_session.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "platform/dbus/connection.hpp"
#include "platform/logind/bus_replies.hpp"
#include "platform/log/log.hpp"
#include "platform/shared.hpp"

namespace platform::logind {

namespace {

using dbus::Arguments;

const platform::log::Logger& logger() { return sessionLog(); }

constexpr const char* kLogind = "org.freedesktop.login1";
constexpr const char* kManagerPath = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";
constexpr const char* kSession = "org.freedesktop.login1.Session";
constexpr const char* kProperties = "org.freedesktop.DBus.Properties";
constexpr const char* kBus = "org.freedesktop.DBus";
constexpr const char* kBusPath = "/org/freedesktop/DBus";
// Seconds between attempts to learn our session while logind cannot name it.
constexpr double kResolveRetry = 1.0;

// The desktops' lock screens. Each is the process that draws the desktop's lock screen (or
// runs the greeter that does), known by a name it owns on the session bus and by its program,
// the file name of its executable. The names alone do not tell: on GNOME,
// org.gnome.ScreenSaver belongs to a small proxy started on demand and
// org.freedesktop.ScreenSaver to the settings daemon's inhibition proxy; neither draws a
// lock screen. Each desktop lights its display its own way.
//   - GNOME Shell (43 here; since it handed org.gnome.ScreenSaver to the proxy) owns
//     org.gnome.Shell.ScreenShield and draws the shield itself; the display lights when
//     Mutter's idle monitor is told the user is active.
//   - KDE Plasma: the screen locker lives in kwin_wayland (Wayland) or ksmserver (X11), which
//     owns org.freedesktop.ScreenSaver and runs the greeter as its child.
//   - MATE and Xfce: mate-screensaver and xfce4-screensaver own their desktop's name (and
//     run their unlock dialog as a child).
// Cinnamon's cinnamon-screensaver is a Python program: its executable is the interpreter,
// which tells nothing about what it runs, so it is not taken.
struct LockScreenService {
  const char* name;
  std::array<const char*, 2> programs;  // unused places are null
  // The call that lights the display: bus name, object, interface, method (no arguments).
  std::array<const char*, 4> wake;
};
constexpr std::array<LockScreenService, 4> kLockScreens{{
    {"org.gnome.Shell.ScreenShield",
     {"gnome-shell", nullptr},
     {"org.gnome.Mutter.IdleMonitor", "/org/gnome/Mutter/IdleMonitor/Core", "org.gnome.Mutter.IdleMonitor",
      "ResetIdletime"}},
    {"org.freedesktop.ScreenSaver",
     {"kwin_wayland", "ksmserver"},
     {"org.freedesktop.ScreenSaver", "/ScreenSaver", "org.freedesktop.ScreenSaver", "SimulateUserActivity"}},
    {"org.mate.ScreenSaver",
     {"mate-screensaver", nullptr},
     {"org.mate.ScreenSaver", "/org/mate/ScreenSaver", "org.mate.ScreenSaver", "SimulateUserActivity"}},
    {"org.xfce.ScreenSaver",
     {"xfce4-screensaver", nullptr},
     {"org.xfce.ScreenSaver", "/org/xfce/ScreenSaver", "org.xfce.ScreenSaver", "SimulateUserActivity"}},
}};

platform::SharedInstance<LoginSession>& instance() {
  static platform::SharedInstance<LoginSession> shared;
  return shared;
}

// The owner of one of the services: the process, what it runs, whether it is the lock screen.
struct ServiceOwner {
  std::size_t service = 0;
  LockScreen screen;
};

ServiceOwner ownerOf(std::size_t service, std::int32_t pid) {
  ServiceOwner owner{service, {}};
  owner.screen.pid = pid;
  std::error_code error;
  owner.screen.executable = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", error).string();
  const std::string program = std::filesystem::path(owner.screen.executable).filename().string();
  bool known = false;
  for (const char* name : kLockScreens[service].programs) known |= name && program == name;
  owner.screen.genuine = !error && known && runsSystemExecutable(pid, owner.screen.executable);
  return owner;
}

// Asks for the owner of each service, from `index` on, and answers with the lock screen: the
// first owner that is genuine, else the first owner found (`first`), else none.
void findLockScreenOwner(sd_bus* bus, std::size_t index, std::optional<ServiceOwner> first,
                         std::function<void(std::optional<ServiceOwner>)> answer) {
  if (!bus || index >= kLockScreens.size()) {
    answer(first);
    return;
  }
  const char* name = kLockScreens[index].name;
  dbus::callMethod(
      bus, kBus, kBusPath, kBus, "GetConnectionUnixProcessID",
      [name](sd_bus_message* m) { return sd_bus_message_append(m, "s", name); },
      [bus, index, first, answer](const dbus::Reply& reply) {
        if (reply.error == dbus::kConnectionClosed) return answer(std::nullopt);
        const auto pid = reply.ok() ? replies::processID(reply.message) : std::nullopt;
        std::optional<ServiceOwner> found;
        if (pid) found = ownerOf(index, *pid);
        if (found && found->screen.genuine) return answer(found);
        findLockScreenOwner(bus, index + 1, first ? first : found, answer);
      });
}

}  // namespace

// The system bus's C callbacks, handing each signal to its session.
struct SignalHandlers {
  static int properties(sd_bus_message* m, void* userdata, sd_bus_error*) {
    const char* path = sd_bus_message_get_path(m);
    if (!path) return 0;
    if (const auto change = replies::lockedHintChange(m)) {
      static_cast<LoginSession*>(userdata)->handleLockedHint(path, change->value, change->invalidated);
    }
    return 0;
  }

  static int sleep(sd_bus_message* m, void* userdata, sd_bus_error*) {
    if (const auto sleeping = replies::sleeping(m)) static_cast<LoginSession*>(userdata)->handleSleep(*sleeping);
    return 0;
  }

  static int owner(sd_bus_message* m, void* userdata, sd_bus_error*) {
    if (const auto present = replies::logindOwnerPresent(m)) {
      static_cast<LoginSession*>(userdata)->handleLogindOwner(*present);
    }
    return 0;
  }

  static int matchInstalled(sd_bus_message* m, void*, sd_bus_error*) {
    if (const sd_bus_error* error = sd_bus_message_get_error(m)) {
      logger().error("Could not watch logind's signals: %s", std::string(error->message ? error->message : ""));
    }
    return 0;
  }
};

const platform::log::Logger& sessionLog() {
  // Never destroyed: threads of the process may still log while it exits.
  static const auto* const instance = new platform::log::Logger("com.tessmin.quorvel.linux", "session");
  return *instance;
}

std::shared_ptr<LoginSession> LoginSession::shared() { return instance().pointer(); }

LoginSession::LoginSession()
    : sessionIdFromEnvironment_([] {
        const char* id = std::getenv("XDG_SESSION_ID");
        return std::string(id ? id : "");
      }()) {
  system_ = std::make_unique<dbus::Connection>(
      dbus::BusType::system,
      dbus::Connection::Handlers{[this](sd_bus* bus) { connected(bus); }, [this] { disconnected(); }});
  sessionBus_ = std::make_unique<dbus::Connection>(dbus::BusType::session, dbus::Connection::Handlers{});
}

LoginSession::~LoginSession() {
  // The threads end first: their handlers use the fields below.
  stopping_ = true;
  system_->stop();
  sessionBus_->stop();
}

std::uint64_t LoginSession::addListener(Listener listener) {
  std::lock_guard<std::mutex> lock(listenersMutex_);
  const auto token = nextToken_++;
  listeners_.emplace(token, std::move(listener));
  return token;
}

void LoginSession::removeListener(std::uint64_t token) {
  std::lock_guard<std::mutex> lock(listenersMutex_);
  listeners_.erase(token);
}

void LoginSession::emit(SessionEvent event) {
  if (event == SessionEvent::locked || event == SessionEvent::unlocked) generation_ += 1;
  std::vector<Listener> listeners;
  {
    std::lock_guard<std::mutex> lock(listenersMutex_);
    for (const auto& entry : listeners_) listeners.push_back(entry.second);
  }
  for (const auto& listener : listeners) listener(event);
}

void LoginSession::reportFailure(const std::string& message) {
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (message == lastFailure_) return;
    lastFailure_ = message;
  }
  logger().error("%s", message);
}

void LoginSession::reportSuccess() {
  std::lock_guard<std::mutex> lock(stateMutex_);
  lastFailure_.clear();
}

// --- the system bus's thread -----------------------------------------------------------------

void LoginSession::connected(void* opaque) {
  auto* bus = static_cast<sd_bus*>(opaque);
  connectionEpoch_ += 1;
  resolving_ = false;
  // The lock screen says whether the session is locked, through its LockedHint; logind's
  // `Lock` and `Unlock` signals only ask the lock screen to lock or unlock, and confirm
  // nothing. Changes of every session arrive; only our session's are taken (by path).
  sd_bus_add_match_async(bus, nullptr,
                         "type='signal',sender='org.freedesktop.login1',interface='org.freedesktop.DBus.Properties',"
                         "member='PropertiesChanged',path_namespace='/org/freedesktop/login1/session'",
                         SignalHandlers::properties, SignalHandlers::matchInstalled, this);
  sd_bus_match_signal_async(bus, nullptr, kLogind, kManagerPath, kManager, "PrepareForSleep", SignalHandlers::sleep,
                            SignalHandlers::matchInstalled, this);
  sd_bus_add_match_async(bus, nullptr,
                         "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
                         "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='org.freedesktop.login1'",
                         SignalHandlers::owner, SignalHandlers::matchInstalled, this);
  resolve(bus);
}

void LoginSession::disconnected() {
  resolving_ = false;
  // Until the bus is back nothing can be asked; what we last reported stays, so that a change
  // made meanwhile is reported once the session is read again.
  settle(std::nullopt, std::nullopt);
}

void LoginSession::handleLogindOwner(bool present) {
  if (!present) {
    logger().error("logind left the system bus");
    settle(std::nullopt, std::nullopt);
    return;
  }
  system_->post([this](sd_bus* bus) { resolve(bus); });
}

void LoginSession::resolve(void* opaque) {
  auto* bus = static_cast<sd_bus*>(opaque);
  if (!bus || resolving_) return;
  resolving_ = true;
  const std::uint64_t epoch = connectionEpoch_;
  auto fail = [this, epoch](const std::string& message) {
    resolving_ = false;
    if (stopping_) return;
    reportFailure(message);
    settle(std::nullopt, std::nullopt);
    // Try again while this connection lasts (logind may still be starting).
    system_->postAfter(kResolveRetry, [this, epoch](sd_bus* bus) {
      if (bus && epoch == connectionEpoch_ && !sessionKnown()) resolve(bus);
    });
  };
  auto readSession = [this, bus, fail](const std::string& path) {
    dbus::callMethod(
        bus, kLogind, path.c_str(), kProperties, "GetAll",
        [](sd_bus_message* m) { return sd_bus_message_append(m, "s", kSession); },
        [this, path, fail](const dbus::Reply& reply) {
          if (!reply.ok()) return fail("logind could not describe the session " + path + ": " + reply.error);
          auto properties = replies::sessionProperties(reply.message);
          if (!properties) return fail("logind described the session " + path + " incompletely");
          SessionIdentity& identity = properties->identity;
          identity.path = path;
          if (identity.uid != static_cast<std::uint32_t>(::getuid())) {
            return fail("The login session " + identity.id + " belongs to another user; it is not watched");
          }
          resolving_ = false;
          reportSuccess();
          settle(identity, properties->locked);
        });
  };
  // The session named by XDG_SESSION_ID; else the session of our process; else, for a
  // process started outside any session (by the user's service manager), what logind
  // calls the caller's session, "auto" (the user's graphical session).
  auto lookup = [bus](const char* method, Arguments arguments, std::function<void(std::string, std::string)> then) {
    dbus::callMethod(bus, kLogind, kManagerPath, kManager, method, arguments, [then](const dbus::Reply& reply) {
      if (!reply.ok()) return then("", reply.error);
      const auto path = replies::sessionPath(reply.message);
      if (!path) return then("", "unreadable answer");
      then(*path, "");
    });
  };
  auto found = [readSession, fail](const std::string& path, const std::string& error) {
    if (path.empty()) return fail("logind does not name this process's session: " + error);
    readSession(path);
  };
  const std::string id = sessionIdFromEnvironment_;
  if (!id.empty()) {
    lookup("GetSession", [id](sd_bus_message* m) { return sd_bus_message_append(m, "s", id.c_str()); }, found);
    return;
  }
  lookup("GetSessionByPID",
         [](sd_bus_message* m) { return sd_bus_message_append(m, "u", static_cast<std::uint32_t>(::getpid())); },
         [this, lookup, found](const std::string& path, const std::string& error) {
           // A closing connection takes no more calls.
           if (!path.empty() || error == dbus::kConnectionClosed) return found(path, error);
           reportFailure("logind does not name this process's session: " + error);
           lookup("GetSession", [](sd_bus_message* m) { return sd_bus_message_append(m, "s", "auto"); }, found);
         });
}

void LoginSession::settle(std::optional<SessionIdentity> identity, std::optional<bool> locked) {
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    settled_ = true;
    identity_ = std::move(identity);
  }
  settledChanged_.notify_all();
  if (locked) applyLocked(*locked);
}

bool LoginSession::sessionKnown() {
  std::lock_guard<std::mutex> lock(stateMutex_);
  return identity_.has_value();
}

void LoginSession::applyLocked(bool locked) {
  // The first state read is where we start from; only changes are reported.
  if (!reportedLocked_) {
    reportedLocked_ = locked;
    return;
  }
  if (*reportedLocked_ == locked) return;
  reportedLocked_ = locked;
  emit(locked ? SessionEvent::locked : SessionEvent::unlocked);
}

void LoginSession::handleLockedHint(const std::string& path, std::optional<bool> value, bool invalidated) {
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (!identity_ || identity_->path != path) return;
  }
  if (value) {
    applyLocked(*value);
    return;
  }
  if (!invalidated) return;
  system_->post([this, path](sd_bus* bus) {
    dbus::callMethod(
        bus, kLogind, path.c_str(), kProperties, "Get",
        [](sd_bus_message* m) { return sd_bus_message_append(m, "ss", kSession, "LockedHint"); },
        [this](const dbus::Reply& reply) {
          const auto locked = reply.ok() ? replies::lockedHint(reply.message) : std::nullopt;
          if (locked) applyLocked(*locked);
        });
  });
}

void LoginSession::handleSleep(bool sleeping) { emit(sleeping ? SessionEvent::sleeping : SessionEvent::woke); }

// --- any other thread --------------------------------------------------------------------------

std::optional<SessionIdentity> LoginSession::session() {
  std::unique_lock<std::mutex> lock(stateMutex_);
  settledChanged_.wait_for(lock, std::chrono::duration<double>(dbus::kAskTimeout), [this] { return settled_; });
  return identity_;
}

std::optional<bool> LoginSession::lockedHint() {
  const auto identity = session();
  if (!identity) return std::nullopt;
  const std::string path = identity->path;
  auto answer = system_->ask<bool>([this, path](sd_bus* bus, std::function<void(std::optional<bool>)> answer) {
    dbus::callMethod(
        bus, kLogind, path.c_str(), kProperties, "Get",
        [](sd_bus_message* m) { return sd_bus_message_append(m, "ss", kSession, "LockedHint"); },
        [this, answer](const dbus::Reply& reply) {
          const auto locked = reply.ok() ? replies::lockedHint(reply.message) : std::nullopt;
          if (locked) {
            reportSuccess();
            answer(*locked);
            return;
          }
          if (!stopping_) reportFailure("Could not read the session's lock state: " + (reply.error.empty() ? std::string("unreadable answer") : reply.error));
          answer(std::nullopt);
        });
  });
  return answer;
}

void LoginSession::unlock(std::uint64_t generation) {
  system_->post([this, generation](sd_bus* bus) {
    if (generation != generation_.load()) {
      logger().log("The session locked or unlocked again while the password was checked; not unlocking it");
      return;
    }
    std::optional<SessionIdentity> identity;
    {
      std::lock_guard<std::mutex> lock(stateMutex_);
      identity = identity_;
    }
    if (!identity || !bus) {
      logger().error("Cannot ask logind to unlock the session: it is not known");
      return;
    }
    const std::string id = identity->id;
    dbus::callMethod(
        bus, kLogind, kManagerPath, kManager, "UnlockSession",
        [id](sd_bus_message* m) { return sd_bus_message_append(m, "s", id.c_str()); },
        [this, id](const dbus::Reply& reply) {
          if (reply.ok()) {
            logger().info("Asked logind to unlock session %s", id);
          } else if (!stopping_) {
            logger().error("logind did not unlock session %s: %s", id, reply.error);
          }
        });
  });
}

std::optional<LockScreen> LoginSession::findLockScreen() {
  return sessionBus_->ask<LockScreen>([](sd_bus* bus, std::function<void(std::optional<LockScreen>)> answer) {
    findLockScreenOwner(bus, 0, std::nullopt, [answer](std::optional<ServiceOwner> owner) {
      answer(owner ? std::optional<LockScreen>(owner->screen) : std::nullopt);
    });
  });
}

std::optional<LockScreen> LoginSession::lockScreen() {
  if (lockedHint() != true) return std::nullopt;
  return findLockScreen();
}

bool LoginSession::simulateUserActivity() {
  auto sent = sessionBus_->ask<bool>([](sd_bus* bus, std::function<void(std::optional<bool>)> answer) {
    findLockScreenOwner(bus, 0, std::nullopt, [bus, answer](std::optional<ServiceOwner> owner) {
      // Only the genuine lock screen's desktop is asked.
      if (!owner || !owner->screen.genuine) return answer(false);
      const auto& [name, path, interface, method] = kLockScreens[owner->service].wake;
      dbus::callMethod(bus, name, path, interface, method, nullptr, [](const dbus::Reply&) {});
      answer(true);
    });
  });
  return sent.value_or(false);
}

bool isSystemExecutable(const std::string& path) {
  if (path.empty() || path.front() != '/') return false;
  std::filesystem::path current(path);
  struct stat info {};
  if (::stat(current.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  for (;;) {
    if (::stat(current.c_str(), &info) != 0) return false;
    if (info.st_uid != 0 || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) return false;
    if (current == current.root_path()) return true;
    current = current.parent_path();
  }
}

bool runsSystemExecutable(std::int32_t pid, const std::string& path) {
  if (!isSystemExecutable(path)) return false;
  struct stat running {}, named {};
  return ::stat(("/proc/" + std::to_string(pid) + "/exe").c_str(), &running) == 0 &&
         ::stat(path.c_str(), &named) == 0 && running.st_dev == named.st_dev && running.st_ino == named.st_ino;
}

}  // namespace platform::logind
