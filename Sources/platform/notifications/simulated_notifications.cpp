#include "platform/notifications/simulated_notifications.hpp"

namespace platform::notifications {

void SimulatedNotificationCenter::post(const std::string& name) {
  {
    std::lock_guard<std::mutex> lock(historyMutex_);
    posted_.push_back(name);
  }
  InProcessNotificationCenter::post(name);
}

std::vector<std::string> SimulatedNotificationCenter::posted() const {
  std::lock_guard<std::mutex> lock(historyMutex_);
  return posted_;
}

}  // namespace platform::notifications
