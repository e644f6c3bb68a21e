#include "platform/loginitems/login_items.hpp"

#include <utility>

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

constexpr const char* kNotFound = "The operation couldn\u2019t be completed. Invalid argument";

class LinuxService : public Service {
 public:
  Status status() override { return Status::notFound; }
  std::optional<Error> registerApp() override { return Error{kNotFound}; }
  std::optional<Error> unregisterApp() override { return Error{kNotFound}; }
};

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

std::shared_ptr<Service> makeLinuxService() { return std::make_shared<LinuxService>(); }

Status SimulatedLoginItems::status() {
  std::lock_guard lock(mutex_);
  return status_;
}

std::optional<Error> SimulatedLoginItems::registerApp() {
  std::lock_guard lock(mutex_);
  requests_.push_back("register");
  if (refusal_) return Error{*refusal_};
  status_ = Status::enabled;
  return std::nullopt;
}

std::optional<Error> SimulatedLoginItems::unregisterApp() {
  std::lock_guard lock(mutex_);
  requests_.push_back("unregister");
  if (refusal_) return Error{*refusal_};
  status_ = Status::notRegistered;
  return std::nullopt;
}

void SimulatedLoginItems::setStatus(Status status) {
  std::lock_guard lock(mutex_);
  status_ = status;
}

void SimulatedLoginItems::refuse(std::optional<std::string> description) {
  std::lock_guard lock(mutex_);
  refusal_ = std::move(description);
}

std::vector<std::string> SimulatedLoginItems::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

}  // namespace platform::loginitems
