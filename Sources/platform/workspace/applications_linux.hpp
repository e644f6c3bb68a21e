// Running applications on Linux.
#pragma once

#include "platform/workspace/applications.hpp"

namespace platform::workspace {

// Linux: any live process has a record (read from /proc, without a bundle identifier).
// While our login session is locked, the frontmost application is the session's lock screen
// (platform/logind/login_session.hpp); otherwise no workspace says which one is in front.
// The genuine lock screen stands for the login window: its record carries the login window's
// bundle identifier and executable path (`kLoginWindowBundleIdentifier`, `kLoginWindowPath`)
// for as long as it is the genuine lock screen of the locked session; any other process,
// a lock screen run from a folder the user can write included, carries its own path.
class LinuxRunningApplications : public RunningApplications {
 public:
  std::shared_ptr<RunningApplication> runningApplication(std::int32_t pid) override;
  std::shared_ptr<RunningApplication> frontmostApplication() override;
};

}  // namespace platform::workspace
