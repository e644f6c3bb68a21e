// The simulated login items of the tests' machine: every request recorded, refusals scripted.
#pragma once

#include <mutex>
#include <vector>

#include "platform/loginitems/login_items.hpp"

namespace platform::loginitems {

class SimulatedLoginItems : public Service {
 public:
  Status status() override;
  std::optional<Error> registerApp() override;
  std::optional<Error> unregisterApp() override;

  void setStatus(Status status);
  // The next requests fail with this description (no value: they succeed).
  void refuse(std::optional<std::string> description);
  // "register" and "unregister" in order, refused ones too.
  std::vector<std::string> requests() const;

 private:
  mutable std::mutex mutex_;
  Status status_ = Status::notRegistered;
  std::optional<std::string> refusal_;
  std::vector<std::string> requests_;
};

}  // namespace platform::loginitems
