// The simulated users of the tests' machine.
#pragma once

#include <mutex>
#include <string>

#include "platform/users/users.hpp"

namespace platform::users {

// Names the tests set ("alice" and "Alice Example" unless told otherwise).
class SimulatedUsers : public Users {
 public:
  std::string userName() override;
  std::string fullUserName() override;
  void setUserName(std::string name);
  void setFullUserName(std::string name);

 private:
  std::mutex mutex_;
  std::string userName_ = "alice";
  std::string fullUserName_ = "Alice Example";
};

}  // namespace platform::users
