// The logged-in user's names on Linux.
#pragma once

#include "platform/users/users.hpp"

namespace platform::users {

// The password database's record of this process's real user: its login name, and the
// first comma-separated part of its comment field as the full name (empty when there is none).
class LinuxUsers : public Users {
 public:
  std::string userName() override;
  std::string fullUserName() override;
};

}  // namespace platform::users
