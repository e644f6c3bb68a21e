// A stand-in for a user's desktop, in which the shipped program runs as it would on a real
// one: an X server (Xvfb) with an XEmbed tray (trayer), the login session's buses with logind
// and the lock screen that follows it (support/session_buses.hpp), a private gnome-keyring on
// the session bus (support/private_keyring.hpp), PAM through pam_wrapper and pam_matrix for the
// session's user (support/pam_matrix.hpp), and a camera that plays a recording (QUORVEL_CAMERA)
// which can be swapped while the program runs. Everything lives in one folder of the caller's;
// each helper process is ended by its PID (and dies with this process).
//
// The end-to-end tests drive the program in it; scripts/stand-in-desktop lets a person watch.
// While it lives, this process's HOME, XDG folders and bus addresses point into it.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/desktop_session.hpp"
#include "support/face_recordings.hpp"
#include "support/private_keyring.hpp"
#include "support/session_buses.hpp"

namespace quorvel::testing {

class StandInDesktop {
 public:
  // The session user's login password, as PAM knows it.
  static constexpr const char* kLoginPassword = "correct horse 7";

  struct Options {
    std::string folder;      // made by the caller; everything goes in here
    std::string pamWrapper;  // libpam_wrapper.so
    std::string program;     // the executable `launch` starts
    int width = 1024, height = 768;
  };
  explicit StandInDesktop(Options options);
  ~StandInDesktop();
  StandInDesktop(const StandInDesktop&) = delete;
  StandInDesktop& operator=(const StandInDesktop&) = delete;

  // Starts every part; false, with what failed in `error()`, when one did not start in time.
  bool start();
  const std::string& error() const { return error_; }

  // The environment the program runs in ("NAME=value"; "NAME=" removes one).
  std::vector<std::string> environment() const;
  // Starts the program with `arguments`; its output goes to `log` in the folder.
  std::unique_ptr<ChildProcess> launch(const std::vector<std::string>& arguments = {},
                                       const std::string& log = "quorvel.log",
                                       const std::vector<std::string>& changes = {});

  // From the camera's next start (or, playing in a loop, its next round) it plays these
  // frames at `fps` (written as a recording in the folder).
  bool showCamera(const std::vector<recordings::Frame>& frames, double fps = 10);

  // The session locks as logind locks it (its Lock signal; the lock screen follows).
  bool lock() { return buses_->emitSessionSignal(kOwnSession, "Lock"); }
  // The session's LockedHint as logind has it; none when logind does not answer.
  std::optional<bool> locked();

  const VirtualDisplay& display() const { return *display_; }
  SessionBuses& buses() { return *buses_; }
  const std::string& folder() const { return options_.folder; }
  // The tray's strip at the top right of the screen.
  QRect trayArea() const;

 private:
  bool fail(const std::string& what);

  Options options_;
  std::string error_;
  std::unique_ptr<VirtualDisplay> display_;
  std::unique_ptr<SessionBuses> buses_;
  std::unique_ptr<PrivateKeyring> keyring_;
  std::unique_ptr<ChildProcess> tray_;
  int recordings_ = 0;
};

}  // namespace quorvel::testing
