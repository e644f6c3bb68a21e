// The simulated device-owner authentication of the tests' machine.
#pragma once

#include <mutex>
#include <vector>

#include "platform/localauth/local_auth.hpp"

namespace platform::localauth {

// Scripted: whether the policy is available and how the prompt ends. The reply is sent on a
// global queue of the installed scheduler.
class SimulatedLocalAuthentication : public Provider,
                                     public std::enable_shared_from_this<SimulatedLocalAuthentication> {
 public:
  std::shared_ptr<Context> makeContext() override;

  void setAvailable(bool available);
  // The next prompts end with this outcome (success, or the error).
  void setOutcome(std::optional<AuthError> error);
  std::vector<std::string> reasons() const;
  int availabilityQueries() const;

  bool available();
  void evaluate(const std::string& reason, std::function<void(bool, std::optional<AuthError>)> reply);

 private:
  mutable std::mutex mutex_;
  bool available_ = true;
  std::optional<AuthError> outcome_;
  std::vector<std::string> reasons_;
  int queries_ = 0;
};

}  // namespace platform::localauth
