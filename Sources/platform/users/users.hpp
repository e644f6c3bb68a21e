// The logged-in user's names: the short (login) name and the full name.
#pragma once

#include <memory>
#include <string>

namespace platform::users {

class Users {
 public:
  virtual ~Users() = default;
  virtual std::string userName() = 0;
  virtual std::string fullUserName() = 0;
};

std::shared_ptr<Users> current();
void install(std::shared_ptr<Users> users);

}  // namespace platform::users
