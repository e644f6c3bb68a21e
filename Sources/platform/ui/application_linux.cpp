#include "platform/ui/application_linux.hpp"

#include <QGuiApplication>
#include <QWindow>

#include <mutex>

#include "platform/dispatch/dispatch.hpp"
#include "platform/ui/gui.hpp"
#include "platform/windows/windows.hpp"

namespace platform::ui {
namespace {

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

std::shared_ptr<Application> makeLinuxApplication() {
  return std::make_shared<LinuxApplication>();
}

}  // namespace platform::ui
