// GNOME Shell (43) as a test's desktop, headless: an X server (Xvfb) and, on the buses of a
// SessionBuses whose logind knows our session kOwnSession, a display manager and the user's
// systemd played by python3-dbusmock, then `gnome-shell --nested --wayland --no-x11` drawing
// into a window of the X server. Its real lock screen follows logind: the session's `Lock`
// locks it (it sets LockedHint), `Unlock` dismisses it from the clock or the blank screen.
// With the password dialog up it asks the display manager for a reauthentication channel,
// which this one refuses: the shell then ignores `Unlock` and stays locked.
//
// Start-up. gnome-shell 43 launches ibus-daemon through GLib.spawn_async with a JavaScript
// child set-up function. In the forked child that function takes GLib's type lock, which
// another thread of the shell (its thread pool loading icons, its D-Bus worker) may have held
// at the moment of the fork; the child then blocks for ever before exec, and the shell with it,
// waiting to hear that the child ran (measured: about half of the starts). The shell launches
// ibus-daemon only when IBus is not a systemd user service, and asks systemd about that only
// when it runs in a systemd user unit itself (its cgroup, /proc/self/cgroup). So the shell
// runs in a mount namespace of its own whose /proc/self/cgroup names a user unit, and the
// session bus's systemd knows IBus's unit: as in a GNOME session that systemd manages, the
// shell never forks to launch ibus-daemon. This needs root (a mount namespace), as the
// lock-screen rule needs programs from folders only root can write.
//
// Every child is ended by its PID; every wait has a time limit.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quorvel::testing {

class ChildProcess;
class SessionBuses;
class VirtualDisplay;

class NestedGnomeShell {
 public:
  // The shell runs on `buses` (started, logind with our session); its files go to `folder`.
  NestedGnomeShell(SessionBuses& buses, std::string folder);
  ~NestedGnomeShell();

  // Starts it and waits (at most 60 s) until its lock screen answers on the session bus; false
  // otherwise, with the reason in failure().
  bool start();
  const std::string& failure() const { return failure_; }
  std::int64_t pid() const;
  // The X display it draws into, for screenshots and input.
  const std::string& display() const;
  // The shell's home folder: its user extensions go in home()/.local/share/gnome-shell/extensions
  // before it starts.
  std::string home() const { return folder_ + "/home"; }
  // What a program in the shell's session adds to its environment: the shell's Wayland socket
  // and runtime folder, no X display, the desktop's and the session's names.
  std::vector<std::string> clientEnvironment() const;

  // What the screen shield itself says (org.gnome.ScreenSaver.GetActive), none when it does
  // not answer.
  std::optional<bool> shieldActive();
  // Raises the lock screen's password dialog with the pointer, as a user would, clicking at
  // (x, y) of its screen, and waits (at most 20 s) until the shell has asked the display manager
  // to check a password there.
  bool raisePasswordDialog(int x = 300, int y = 300);
  // Escape on the lock screen: the dialog goes, the clock is back.
  bool dismissPasswordDialog();
  // The shell's own output.
  std::string log() const;

 private:
  int displayManagerCalls(const std::string& method);

  SessionBuses& buses_;
  std::string folder_;
  std::string failure_;
  std::string socket_;
  std::unique_ptr<VirtualDisplay> display_;
  std::unique_ptr<ChildProcess> shell_;
};

}  // namespace quorvel::testing
