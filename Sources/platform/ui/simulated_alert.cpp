#include "platform/ui/simulated_alert.hpp"

#include <utility>

namespace platform::ui {

AlertAnswer SimulatedAlerts::runModal(const Alert& alert) {
  std::lock_guard lock(mutex_);
  shown_.push_back(alert);
  if (script_.empty()) {
    ++unscripted_;
    return dismissed(alert);
  }
  AlertAnswer answer = std::move(script_.front());
  script_.pop_front();
  if (!alert.secureField) answer.text.clear();
  return answer;
}

void SimulatedAlerts::press(int index, std::string text) {
  std::lock_guard lock(mutex_);
  script_.push_back({responseAt(static_cast<std::size_t>(index < 0 ? 0 : index)), std::move(text)});
}

std::vector<Alert> SimulatedAlerts::shown() const {
  std::lock_guard lock(mutex_);
  return shown_;
}

std::vector<std::string> SimulatedAlerts::messages() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> result;
  for (const auto& alert : shown_) result.push_back(alert.messageText);
  return result;
}

int SimulatedAlerts::unscripted() const {
  std::lock_guard lock(mutex_);
  return unscripted_;
}

std::size_t SimulatedAlerts::pendingPresses() const {
  std::lock_guard lock(mutex_);
  return script_.size();
}

void SimulatedAlerts::reset() {
  std::lock_guard lock(mutex_);
  script_.clear();
  shown_.clear();
  unscripted_ = 0;
}

}  // namespace platform::ui
