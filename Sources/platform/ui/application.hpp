// The shared application object: the process's one application, its activation policy (a
// Dock icon and an application menu bar, or neither), activation, and its run loop.
//
// `shared()` obtains the installed application, else the linux one (made on first use).
// Tests install a `SimulatedApplication`, which records every policy change and activation.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace platform::ui {

enum class ActivationPolicy {
  regular,     // a Dock icon and an application menu bar
  accessory,   // neither; windows may still be shown
  prohibited,  // no interface at all
};

std::string toString(ActivationPolicy policy);

class Application {
 public:
  virtual ~Application() = default;

  virtual ActivationPolicy activationPolicy() const = 0;
  // True when the policy was taken.
  virtual bool setActivationPolicy(ActivationPolicy policy) = 0;
  // Brings the application to the front.
  virtual void activate(bool ignoringOtherApps) = 0;
  // Ends the application: its run loop stops with status 0, so `run()` returns and the
  // process ends.
  virtual void terminate() = 0;

  // Runs the main run loop until something stops it; returns the status it was stopped with.
  virtual int run();
};

// Obtains the shared application object.
std::shared_ptr<Application> shared();
void install(std::shared_ptr<Application> application);

// Records what the system's code asks of the application. A new one is `regular`, as the
// platform's application object is before anything sets its policy.
class SimulatedApplication : public Application {
 public:
  ActivationPolicy activationPolicy() const override;
  bool setActivationPolicy(ActivationPolicy policy) override;
  void activate(bool ignoringOtherApps) override;
  void terminate() override;
  int terminateCount() const;

  // What the user sees for the current policy.
  bool showsDockIcon() const;
  bool showsMenuBar() const;

  // Every policy request in order ("regular", "accessory", ...), taken or refused.
  std::vector<std::string> policyRequests() const;
  // "activate ignoringOtherApps=true", ... in order.
  std::vector<std::string> activations() const;
  // How many times the shared object was obtained.
  int obtainedCount() const;
  void noteObtained();

  // Fault injection: the next requests are refused (the policy stays as it is).
  void refusePolicyChanges(bool refuse);

 private:
  mutable std::mutex mutex_;
  ActivationPolicy policy_ = ActivationPolicy::regular;
  std::vector<std::string> requests_;
  std::vector<std::string> activations_;
  int obtained_ = 0;
  int terminated_ = 0;
  bool refuse_ = false;
};

// Linux (Qt): there is no Dock; the policy decides whether the application's own windows (the
// tutorial) have an entry in the desktop's task bar and window switcher (regular) or are kept
// out of them as tool windows (accessory, prohibited); there is no menu bar of the
// application to show or hide. `run()` starts the GUI first (see gui.hpp), so a diagnostic
// that merely obtains this object never starts Qt.
std::shared_ptr<Application> makeLinuxApplication();

}  // namespace platform::ui
