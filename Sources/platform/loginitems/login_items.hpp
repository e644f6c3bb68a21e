// Opening the application at login: the main application's login-item registration.
//
// `mainApp()` obtains the installed service, else the linux one. Tests install a
// `SimulatedLoginItems`, which records every request and can refuse them.
#pragma once

#include <memory>
#include <optional>
#include <string>

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

}  // namespace platform::loginitems
