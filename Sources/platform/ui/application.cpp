#include "platform/ui/application.hpp"

#include <mutex>

#include "platform/dispatch/dispatch.hpp"
#include "platform/ui/application_linux.hpp"

namespace platform::ui {
namespace {

std::mutex& installMutex() {
  static std::mutex mutex;
  return mutex;
}
// Never destroyed, like the application object it holds.
std::shared_ptr<Application>& installed() {
  static auto* application = new std::shared_ptr<Application>();
  return *application;
}

}  // namespace

std::string toString(ActivationPolicy policy) {
  switch (policy) {
    case ActivationPolicy::regular:
      return "regular";
    case ActivationPolicy::accessory:
      return "accessory";
    case ActivationPolicy::prohibited:
      return "prohibited";
  }
  return "unknown";
}

int Application::run() { return platform::dispatch::runMainLoop(); }

std::shared_ptr<Application> shared() {
  std::shared_ptr<Application> application;
  {
    std::lock_guard<std::mutex> lock(installMutex());
    if (!installed()) installed() = makeLinuxApplication();
    application = installed();
  }
  application->noteObtained();
  return application;
}

void install(std::shared_ptr<Application> application) {
  std::lock_guard<std::mutex> lock(installMutex());
  installed() = std::move(application);
}

}  // namespace platform::ui
