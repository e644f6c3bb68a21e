#include "platform/ui/alert.hpp"

#include <mutex>
#include <utility>

#include "platform/ui/alert_linux.hpp"

namespace platform::ui {

namespace {

std::mutex& alertsMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<AlertPresenter>& installedAlerts() {
  static auto* presenter = new std::shared_ptr<AlertPresenter>();
  return *presenter;
}

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

}  // namespace platform::ui
