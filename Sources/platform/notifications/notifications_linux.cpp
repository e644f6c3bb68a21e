#include "platform/notifications/notifications_linux.hpp"

#include "platform/logind/login_session.hpp"

namespace platform::notifications {

ObserverToken LinuxNotificationCenter::addObserver(const std::string& name, Handler handler) {
  const ObserverToken token = InProcessNotificationCenter::addObserver(name, std::move(handler));
  std::lock_guard<std::mutex> lock(watchMutex_);
  if (session_) return token;
  auto session = logind::LoginSession::shared();
  // The listener runs on the bus thread; posting hands each name to the main queue, in the
  // order the session's events came.
  std::weak_ptr<State> alive = state_;
  const Role role = role_;
  listener_ = session->addListener([alive, role](logind::SessionEvent event) {
    auto state = alive.lock();
    if (!state) return;
    const char* name = nullptr;
    switch (event) {
      case logind::SessionEvent::locked: name = role == Role::distributed ? kScreenIsLocked : nullptr; break;
      case logind::SessionEvent::unlocked: name = role == Role::distributed ? kScreenIsUnlocked : nullptr; break;
      case logind::SessionEvent::sleeping: name = role == Role::workspace ? kScreensDidSleep : nullptr; break;
      case logind::SessionEvent::woke: name = role == Role::workspace ? kScreensDidWake : nullptr; break;
    }
    if (name) postTo(state, name);
  });
  session_ = session;
  return token;
}

LinuxNotificationCenter::~LinuxNotificationCenter() {
  std::lock_guard<std::mutex> lock(watchMutex_);
  if (session_) session_->removeListener(listener_);
}

}  // namespace platform::notifications
