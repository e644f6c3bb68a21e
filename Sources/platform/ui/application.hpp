// The shared application object: the process's one application, its activation policy (a
// Dock icon and an application menu bar, or neither), activation, and its run loop.
//
// `shared()` obtains the installed application, else the linux one (application_linux.hpp,
// made on first use). Tests install a `SimulatedApplication` (simulated_application.hpp),
// which records every policy change and activation.
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

  // Told by `shared()` each time the object is obtained (the simulated one counts it).
  virtual void noteObtained() {}
};

// Obtains the shared application object.
std::shared_ptr<Application> shared();
void install(std::shared_ptr<Application> application);

}  // namespace platform::ui
