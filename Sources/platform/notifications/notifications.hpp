// Notification centres: the distributed centre (system-wide notifications such as the
// screen locking and unlocking) and the workspace centre (the screens sleeping and waking).
// Observers register for a name with no sender filter; their handlers run on the main queue.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace platform::notifications {

// Distributed notifications about the login session.
inline constexpr const char* kScreenIsLocked = "com.apple.screenIsLocked";
inline constexpr const char* kScreenIsUnlocked = "com.apple.screenIsUnlocked";
// Workspace notifications.
inline constexpr const char* kScreensDidSleep = "NSWorkspaceScreensDidSleepNotification";
inline constexpr const char* kScreensDidWake = "NSWorkspaceScreensDidWakeNotification";

using Handler = std::function<void(const std::string& name)>;
using ObserverToken = std::uint64_t;

class NotificationCenter {
 public:
  virtual ~NotificationCenter() = default;
  // Observes notifications named `name` from any sender. The handler runs on the main queue.
  virtual ObserverToken addObserver(const std::string& name, Handler handler) = 0;
  virtual void removeObserver(ObserverToken token) = 0;
  // Delivers `name` to its observers: each handler runs later on the main queue, in the
  // order the observers were added. An observer removed before delivery gets nothing.
  virtual void post(const std::string& name) = 0;
};

// A centre inside this process: what is posted here reaches this process's observers.
class InProcessNotificationCenter : public NotificationCenter {
 public:
  ObserverToken addObserver(const std::string& name, Handler handler) override;
  void removeObserver(ObserverToken token) override;
  void post(const std::string& name) override;

  std::size_t observerCount(const std::string& name) const;

 protected:
  struct Observer {
    std::string name;
    Handler handler;
  };
  // Kept apart so that deliveries still queued after the centre is gone do nothing.
  struct State {
    std::mutex mutex;
    ObserverToken nextToken = 1;
    std::map<ObserverToken, Observer> observers;
  };
  static void postTo(const std::shared_ptr<State>& state, const std::string& name);
  static void deliver(const std::weak_ptr<State>& state, ObserverToken token,
                      const std::string& name);

  std::shared_ptr<State> state_ = std::make_shared<State>();
};

// The installed centres; a Linux one is created on first use unless one was installed.
std::shared_ptr<NotificationCenter> distributedCenter();
std::shared_ptr<NotificationCenter> workspaceCenter();
void installDistributedCenter(std::shared_ptr<NotificationCenter> center);
void installWorkspaceCenter(std::shared_ptr<NotificationCenter> center);

}  // namespace platform::notifications
