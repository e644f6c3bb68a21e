#include "platform/ui/application.hpp"

#include <QGuiApplication>
#include <QWindow>

#include "platform/dispatch/dispatch.hpp"
#include "platform/ui/gui.hpp"
#include "platform/windows/windows.hpp"

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

class LinuxApplication : public Application {
 public:
  ActivationPolicy activationPolicy() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return policy_;
  }

  bool setActivationPolicy(ActivationPolicy policy) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      policy_ = policy;
    }
    windows::setListedInTaskbar(policy == ActivationPolicy::regular);
    return true;
  }

  void activate(bool /*ignoringOtherApps*/) override {
    if (!windows::hasRealDisplay()) return;
    for (QWindow* window : QGuiApplication::topLevelWindows()) {
      const Qt::WindowType type = window->type();
      if (!window->isVisible() || type == Qt::Popup || type == Qt::ToolTip) continue;
      if (window->flags() & Qt::WindowDoesNotAcceptFocus) continue;
      window->requestActivate();
      return;
    }
  }

  void terminate() override { platform::dispatch::stopMainLoop(0); }

  int run() override {
    startGui();
    return Application::run();
  }

 private:
  mutable std::mutex mutex_;
  ActivationPolicy policy_ = ActivationPolicy::regular;
};

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
  if (auto* simulated = dynamic_cast<SimulatedApplication*>(application.get())) {
    simulated->noteObtained();
  }
  return application;
}

void install(std::shared_ptr<Application> application) {
  std::lock_guard<std::mutex> lock(installMutex());
  installed() = std::move(application);
}

std::shared_ptr<Application> makeLinuxApplication() {
  return std::make_shared<LinuxApplication>();
}

ActivationPolicy SimulatedApplication::activationPolicy() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return policy_;
}

bool SimulatedApplication::setActivationPolicy(ActivationPolicy policy) {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.push_back(toString(policy));
  if (refuse_) return false;
  policy_ = policy;
  return true;
}

void SimulatedApplication::activate(bool ignoringOtherApps) {
  std::lock_guard<std::mutex> lock(mutex_);
  activations_.push_back(std::string("activate ignoringOtherApps=") +
                         (ignoringOtherApps ? "true" : "false"));
}

void SimulatedApplication::terminate() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++terminated_;
  }
  platform::dispatch::stopMainLoop(0);
}

int SimulatedApplication::terminateCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return terminated_;
}

bool SimulatedApplication::showsDockIcon() const {
  return activationPolicy() == ActivationPolicy::regular;
}

bool SimulatedApplication::showsMenuBar() const {
  return activationPolicy() == ActivationPolicy::regular;
}

std::vector<std::string> SimulatedApplication::policyRequests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::vector<std::string> SimulatedApplication::activations() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return activations_;
}

int SimulatedApplication::obtainedCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return obtained_;
}

void SimulatedApplication::noteObtained() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++obtained_;
}

void SimulatedApplication::refusePolicyChanges(bool refuse) {
  std::lock_guard<std::mutex> lock(mutex_);
  refuse_ = refuse;
}

}  // namespace platform::ui
