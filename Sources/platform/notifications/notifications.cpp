#include "platform/notifications/notifications.hpp"

#include "platform/dispatch/dispatch.hpp"
#include "platform/notifications/notifications_linux.hpp"

namespace platform::notifications {

ObserverToken InProcessNotificationCenter::addObserver(const std::string& name, Handler handler) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  const ObserverToken token = state_->nextToken++;
  state_->observers.emplace(token, Observer{name, std::move(handler)});
  return token;
}

void InProcessNotificationCenter::removeObserver(ObserverToken token) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->observers.erase(token);
}

void InProcessNotificationCenter::post(const std::string& name) { postTo(state_, name); }

void InProcessNotificationCenter::postTo(const std::shared_ptr<State>& strong, const std::string& name) {
  std::vector<ObserverToken> tokens;
  {
    std::lock_guard<std::mutex> lock(strong->mutex);
    // Tokens grow with registration, so the map order is the order of adding.
    for (const auto& [token, observer] : strong->observers) {
      if (observer.name == name) tokens.push_back(token);
    }
  }
  std::weak_ptr<State> state = strong;
  for (ObserverToken token : tokens) {
    dispatch::mainQueue().async([state, token, name] { deliver(state, token, name); });
  }
}

void InProcessNotificationCenter::deliver(const std::weak_ptr<State>& weakState,
                                          ObserverToken token, const std::string& name) {
  auto state = weakState.lock();
  if (!state) return;
  Handler handler;
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    auto found = state->observers.find(token);
    if (found == state->observers.end()) return;
    handler = found->second.handler;
  }
  if (handler) handler(name);
}

std::size_t InProcessNotificationCenter::observerCount(const std::string& name) const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  std::size_t count = 0;
  for (const auto& entry : state_->observers) count += entry.second.name == name ? 1 : 0;
  return count;
}

namespace {

struct Installed {
  std::mutex mutex;
  std::shared_ptr<NotificationCenter> distributed;
  std::shared_ptr<NotificationCenter> workspace;
};
Installed& installed() {
  static Installed instance;
  return instance;
}

}  // namespace

std::shared_ptr<NotificationCenter> distributedCenter() {
  std::lock_guard<std::mutex> lock(installed().mutex);
  if (!installed().distributed) installed().distributed = std::make_shared<LinuxNotificationCenter>(LinuxNotificationCenter::Role::distributed);
  return installed().distributed;
}

std::shared_ptr<NotificationCenter> workspaceCenter() {
  std::lock_guard<std::mutex> lock(installed().mutex);
  if (!installed().workspace) installed().workspace = std::make_shared<LinuxNotificationCenter>(LinuxNotificationCenter::Role::workspace);
  return installed().workspace;
}

void installDistributedCenter(std::shared_ptr<NotificationCenter> center) {
  std::lock_guard<std::mutex> lock(installed().mutex);
  installed().distributed = std::move(center);
}

void installWorkspaceCenter(std::shared_ptr<NotificationCenter> center) {
  std::lock_guard<std::mutex> lock(installed().mutex);
  installed().workspace = std::move(center);
}

}  // namespace platform::notifications
