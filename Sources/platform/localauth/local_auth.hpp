// Device-owner authentication: the system's own prompt (the login password or another way
// the owner proves who they are). The reply arrives on a queue of the framework, never on
// the caller's.
//
// `makeContext()` makes a context of the installed provider, else of the linux one. Tests
// install a `SimulatedLocalAuthentication`, which is scripted and records every request.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

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

}  // namespace platform::localauth
