#include "platform/loginitems/simulated_login_items.hpp"

namespace platform::loginitems {

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
