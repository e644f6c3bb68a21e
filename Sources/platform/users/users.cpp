#include "platform/users/users.hpp"

#include <mutex>

#include "platform/users/users_linux.hpp"

namespace platform::users {

namespace {
std::mutex installedMutex;
std::shared_ptr<Users>& installed() {
  static std::shared_ptr<Users> users;
  return users;
}
}  // namespace

std::shared_ptr<Users> current() {
  std::lock_guard<std::mutex> lock(installedMutex);
  if (!installed()) installed() = std::make_shared<LinuxUsers>();
  return installed();
}

void install(std::shared_ptr<Users> users) {
  std::lock_guard<std::mutex> lock(installedMutex);
  installed() = std::move(users);
}

}  // namespace platform::users
