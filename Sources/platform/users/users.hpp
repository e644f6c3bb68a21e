// The logged-in user's names: the short (login) name and the full name.
#pragma once

#include <memory>
#include <mutex>
#include <string>

namespace platform::users {

class Users {
 public:
  virtual ~Users() = default;
  virtual std::string userName() = 0;
  virtual std::string fullUserName() = 0;
};

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

// The password database's record of this process's real user: its login name, and the
// first comma-separated part of its comment field as the full name (empty when there is none).
class LinuxUsers : public Users {
 public:
  std::string userName() override;
  std::string fullUserName() override;
};

std::shared_ptr<Users> current();
void install(std::shared_ptr<Users> users);

}  // namespace platform::users
