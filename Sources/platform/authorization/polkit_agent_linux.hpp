// The system's security agent on Linux: the polkit authentication agent of the desktop, the
// process that shows the administrator-authentication dialog when polkitd asks it to.
//
//   original platform                       on Linux (this file)
//   --------------------------------------  --------------------------------------------------
//   a process named "SecurityAgent"         a process whose executable has the name of a known
//                                           graphical polkit agent (`kKnownAgents`)
//   its code signed by Apple as             that executable lies in a folder only root can
//   "com.apple.SecurityAgent"               write (the rule the lock screen's identity uses)
//                                           and the process runs as our own user
//
// The process layer names such processes "SecurityAgent" wherever they run from; only the
// code-signing layer decides whether one is genuine. Agents that draw their dialog inside the
// desktop shell itself (GNOME Shell, Cinnamon) are not among the known agents: their windows
// over the accessibility bus are the whole desktop, not a dialog.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace platform::authorization {

inline constexpr const char* kSecurityAgentName = "SecurityAgent";
inline constexpr const char* kSecurityAgentIdentifier = "com.apple.SecurityAgent";

// The executable names of the desktops' polkit agents.
inline constexpr std::array<const char*, 6> kKnownAgents{
    "polkit-kde-authentication-agent-1",    // KDE Plasma
    "polkit-gnome-authentication-agent-1",  // polkit-gnome (GNOME Flashback, Xfce, i3, ...)
    "polkit-mate-authentication-agent-1",   // MATE
    "lxqt-policykit-agent",                 // LXQt
    "lxpolkit",                             // LXDE
    "xfce-polkit",                          // Xfce's own
};

// The path of the process's executable when its name is a known agent's; none otherwise (also
// when the executable cannot be read or was replaced on disk since the process started).
std::optional<std::string> agentExecutable(std::int32_t pid);

// A known agent, run from a folder only root can write, by our own user.
bool isGenuineAgent(std::int32_t pid);

}  // namespace platform::authorization
