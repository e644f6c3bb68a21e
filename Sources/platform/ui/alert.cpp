#include "platform/ui/alert.hpp"

#include <utility>

namespace platform::ui {

namespace {

std::mutex& alertsMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<AlertPresenter>& installedAlerts() {
  static std::shared_ptr<AlertPresenter> presenter;
  return presenter;
}

AlertResponse responseAt(std::size_t index) {
  switch (index) {
    case 0: return AlertResponse::firstButton;
    case 1: return AlertResponse::secondButton;
    default: return AlertResponse::thirdButton;
  }
}

AlertAnswer dismissed(const Alert& alert) {
  return {responseAt(alert.buttons.empty() ? 0 : alert.buttons.size() - 1), ""};
}

class LinuxAlerts : public AlertPresenter {
 public:
  AlertAnswer runModal(const Alert& alert) override { return dismissed(alert); }
};

}  // namespace

std::shared_ptr<AlertPresenter> alerts() {
  std::lock_guard lock(alertsMutex());
  if (!installedAlerts()) installedAlerts() = makeLinuxAlerts();
  return installedAlerts();
}

void installAlerts(std::shared_ptr<AlertPresenter> presenter) {
  std::lock_guard lock(alertsMutex());
  installedAlerts() = std::move(presenter);
}

std::shared_ptr<AlertPresenter> makeLinuxAlerts() { return std::make_shared<LinuxAlerts>(); }

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
