// Opening at login on Linux: an XDG autostart entry.
#pragma once

#include "platform/loginitems/login_items.hpp"

namespace platform::loginitems {

// Linux: an `AutostartService` over the running executable.
std::shared_ptr<Service> makeLinuxService();

// Opening at login through an XDG autostart entry,
// "$XDG_CONFIG_HOME/autostart/com.tessmin.quorvel.desktop" (~/.config/autostart without the
// variable), that starts the executable when the user's desktop session starts. Its states:
//   notRegistered     no entry
//   enabled           an application entry, switched on, whose program exists
//   requiresApproval  the entry is there but switched off in the desktop's start-up
//                     settings (Hidden=true, or X-GNOME-Autostart-enabled=false); registering
//                     again switches it on
//   notFound          an entry that cannot be read or is not an application entry, or whose
//                     program no longer exists (the application moved); registering again
//                     rewrites it
// `registerApp` writes the entry atomically (a reader sees the old entry or the new one);
// `unregisterApp` removes it, and succeeds when there is none.
class AutostartService : public Service {
 public:
  // `executable` empty: the running executable, read at each registration.
  explicit AutostartService(std::string executable = {});

  Status status() override;
  std::optional<Error> registerApp() override;
  std::optional<Error> unregisterApp() override;

  // The entry's path, from the environment at the time of the call.
  static std::string entryPath();
  // The entry that starts `executable` (Version 1.0 of the desktop entry format).
  static std::string entryText(const std::string& executable);
  // The program an Exec value starts (its first argument, unquoted), or no value.
  static std::optional<std::string> programOf(const std::string& exec);

 private:
  std::string executable_;
};

}  // namespace platform::loginitems
