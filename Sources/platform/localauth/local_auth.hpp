// Device-owner authentication: the system's own prompt (the login password or another way
// the owner proves who they are). The reply arrives on a queue of the framework, never on
// the caller's.
//
// `makeContext()` makes a context of the installed provider, else of the linux one. Tests
// install a `SimulatedLocalAuthentication`, which is scripted and records every request.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace platform::localauth {

enum class AuthError { userCancel, userFallback, authenticationFailed, notAvailable, notEnrolled };

class Context {
 public:
  virtual ~Context() = default;
  // Whether the device-owner policy can be evaluated now.
  virtual bool canEvaluateDeviceOwnerAuthentication() = 0;
  // Shows the system's prompt with `reason`; `reply(success, error)` runs on a framework queue.
  virtual void evaluateDeviceOwnerAuthentication(
      const std::string& reason, std::function<void(bool, std::optional<AuthError>)> reply) = 0;
};

class Provider {
 public:
  virtual ~Provider() = default;
  virtual std::shared_ptr<Context> makeContext() = 0;
};

std::shared_ptr<Context> makeContext();
void install(std::shared_ptr<Provider> provider);

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

// Linux: there is no device-owner authentication; the policy cannot be evaluated, and an
// evaluation anyway replies "not available".
std::shared_ptr<Provider> makeLinuxProvider();

}  // namespace platform::localauth
