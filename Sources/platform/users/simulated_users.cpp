#include "platform/users/simulated_users.hpp"

namespace platform::users {

std::string SimulatedUsers::userName() {
  std::lock_guard<std::mutex> lock(mutex_);
  return userName_;
}

std::string SimulatedUsers::fullUserName() {
  std::lock_guard<std::mutex> lock(mutex_);
  return fullUserName_;
}

void SimulatedUsers::setUserName(std::string name) {
  std::lock_guard<std::mutex> lock(mutex_);
  userName_ = std::move(name);
}

void SimulatedUsers::setFullUserName(std::string name) {
  std::lock_guard<std::mutex> lock(mutex_);
  fullUserName_ = std::move(name);
}

}  // namespace platform::users
