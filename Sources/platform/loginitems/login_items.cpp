#include "platform/loginitems/login_items.hpp"

#include <mutex>

#include "platform/loginitems/login_items_linux.hpp"

namespace platform::loginitems {

namespace {

std::mutex& serviceMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<Service>& installedService() {
  static std::shared_ptr<Service> service;
  return service;
}

}  // namespace

std::shared_ptr<Service> mainApp() {
  std::lock_guard lock(serviceMutex());
  if (!installedService()) installedService() = makeLinuxService();
  return installedService();
}

void install(std::shared_ptr<Service> service) {
  std::lock_guard lock(serviceMutex());
  installedService() = std::move(service);
}

}  // namespace platform::loginitems
