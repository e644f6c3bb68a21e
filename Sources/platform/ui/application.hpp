// The shared application object: the process's one application, its activation policy (a
// Dock icon and an application menu bar, or neither), activation, and its run loop.
//
// `shared()` obtains the installed application, else the linux one (application_linux.hpp,
// made on first use). Tests install a `SimulatedApplication` (simulated_application.hpp),
// which records every policy change and activation.
#pragma once

#include <functional>
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

// What a start of the application found in the user's session, where it runs once.
enum class InstanceClaim {
  first,       // this process is the session's application; later starts hand over to it
  handedOver,  // another process is the application and was asked to show itself
  unknown,     // the session could not say (no session bus): this process runs as the application
};

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

  // Makes this process the session's one running application before it starts. From then on
  // `reopen` runs on the main queue whenever a later start of the application hands over to it,
  // as the platform reopens a running application that is launched again.
  virtual InstanceClaim claimInstance(std::function<void()> reopen) = 0;
  // Whether any window of the application is shown (the tray's icon is none).
  virtual bool hasVisibleWindows() const = 0;

  // Told by `shared()` each time the object is obtained (the simulated one counts it).
  virtual void noteObtained() {}
};

// Obtains the shared application object.
std::shared_ptr<Application> shared();
void install(std::shared_ptr<Application> application);

}  // namespace platform::ui
