// Opening the application at login: the main application's login-item registration.
//
// `mainApp()` obtains the installed service, else the linux one. Tests install a
// `SimulatedLoginItems`, which records every request and can refuse them.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace platform::loginitems {

enum class Status { notRegistered, enabled, requiresApproval, notFound };

// A refusal, with the platform's own localized description.
struct Error {
  std::string localizedDescription;
};

class Service {
 public:
  virtual ~Service() = default;
  virtual Status status() = 0;
  // No value on success.
  virtual std::optional<Error> registerApp() = 0;
  virtual std::optional<Error> unregisterApp() = 0;
};

std::shared_ptr<Service> mainApp();
void install(std::shared_ptr<Service> service);

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

// Linux: the application has no login-item registration; the status is "not found" and
// every request is refused the way the platform refuses an application it cannot find.
std::shared_ptr<Service> makeLinuxService();

}  // namespace platform::loginitems
