// KDE Plasma's compositor for tests: a nested kwin_wayland drawing into an Xvfb of its own,
// with its real screen locker (it follows logind: start the session's buses and logind first,
// see SessionBuses::startWithoutLockScreen), a private XDG runtime folder and socket, and a
// service cache (kbuildsycoca5) that allows the given executables KWin's restricted
// lock-screen overlay interface. /usr/bin/kwin_wayland carries a file capability that a
// container cannot execute: scripts/setup installs a plain copy, kKwinCopy, in a folder only
// root can write. Its picture is read from the Xvfb display.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace quorvel::testing {

class ChildProcess;
class VirtualDisplay;

inline constexpr const char* kKwinCopy = "/usr/local/libexec/quorvel-tests/kwin_wayland";
inline constexpr int kKwinWidth = 1024, kKwinHeight = 768;

class NestedKwin {
 public:
  struct Options {
    std::string folder;                // its runtime, cache, configuration and log
    std::vector<std::string> allowed;  // executables given kde_lockscreen_overlay_v1
    std::string executable = kKwinCopy;
  };
  explicit NestedKwin(Options options);
  ~NestedKwin();

  // Starts Xvfb and kwin and waits (at most 30 s) until its Wayland socket answers and its
  // screen locker owns org.freedesktop.ScreenSaver on the session bus. False with the cause.
  bool start(std::string* why);
  // What a client of this compositor needs ("NAME=value"; DISPLAY removed, so that Qt runs
  // on Wayland).
  std::vector<std::string> clientEnvironment() const;
  // The same set in this process's environment (for Wayland clients of the test's own).
  void becomeClient() const;
  // The X display kwin draws into (":N").
  std::string displayName() const;
  // The real greeter (kscreenlocker_greet, a child of this kwin): its process id, 0 when it
  // does not run.
  int greeterPid() const;
  bool greeterRunning() const { return greeterPid() != 0; }
  std::string log() const;

 private:
  Options options_;
  std::string socket_;
  std::unique_ptr<VirtualDisplay> display_;
  std::unique_ptr<ChildProcess> kwin_;
};

}  // namespace quorvel::testing
