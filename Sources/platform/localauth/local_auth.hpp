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

// How a check of the user's login password ended.
enum class PasswordCheck { accepted, rejected, unavailable };
// Checks the login password of the user `user`; may block (run off the main thread).
using PasswordChecker = std::function<PasswordCheck(const std::string& user, const std::string& password)>;

// The login-password check of this machine that device-owner authentication uses; absent
// while the process has none.
PasswordChecker loginPasswordChecker();

// Linux: the owner proves who they are with their login password, typed into a modal dialog
// with a non-echoing field ("Quorvel is trying to <reason>."), checked by `checker` off the
// main thread. A wrong password asks again, three times at most, then the reply is
// "authentication failed"; Cancel replies "user cancel"; a check that cannot run replies "not
// available". Without a checker or a display the policy cannot be evaluated, and an
// evaluation anyway replies "not available". Replies arrive on a global queue.
std::shared_ptr<Provider> makeLinuxProvider(PasswordChecker checker = loginPasswordChecker());
// Attempts at the password before the prompt gives up.
inline constexpr int kPasswordAttempts = 3;

}  // namespace platform::localauth
