// A login session for the Linux layers to watch: private buses, logind with our session "c1"
// and another user's session "c2", and the desktop's lock screen following "c1"; and the
// Linux implementations of every session-related platform area installed over the simulated
// machine.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <string>

#include "platform/users/users.hpp"
#include "support/session_buses.hpp"

namespace quorvel::testing {

inline constexpr const char* kOwnSession = "c1";
inline constexpr const char* kOtherSession = "c2";
inline constexpr std::uint32_t kOtherUser = 4242;

class LinuxSession {
 public:
  // Starts the buses and services in `folder`; `ready()` tells whether all came up.
  explicit LinuxSession(const std::string& folder, bool withLockScreen = true);
  bool ready() const { return ready_; }
  SessionBuses& buses() { return buses_; }
  static std::string userName() { return platform::users::LinuxUsers().userName(); }
  // Installs the Linux notification centres, session source, running applications,
  // processes, code signing, events, Accessibility and power management.
  static void installLinuxLayers();

 private:
  SessionBuses buses_;
  bool ready_ = false;
};

}  // namespace quorvel::testing
