// The notification centres on Linux.
#pragma once

#include "platform/notifications/notifications.hpp"

namespace platform::logind {
class LoginSession;
}

namespace platform::notifications {

// Linux: the centres also carry what logind says about our login session
// (platform/logind/login_session.hpp). The distributed centre posts "com.apple.screenIsLocked"
// and "com.apple.screenIsUnlocked" once per real change of the session's lock state (its
// `Lock` and `Unlock` signals and its `LockedHint`); the workspace centre posts the screens
// sleeping and waking for the manager's `PrepareForSleep(true)` and `(false)`. The session is
// watched from the first observer on. Notifications posted by this process arrive as well.
class LinuxNotificationCenter : public InProcessNotificationCenter {
 public:
  enum class Role { distributed, workspace };
  explicit LinuxNotificationCenter(Role role) : role_(role) {}
  ~LinuxNotificationCenter() override;
  ObserverToken addObserver(const std::string& name, Handler handler) override;

 private:
  const Role role_;
  std::mutex watchMutex_;
  std::shared_ptr<logind::LoginSession> session_;  // watched while the centre lives
  std::uint64_t listener_ = 0;
};

}  // namespace platform::notifications
