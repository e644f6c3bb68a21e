#include "platform/ui/application_linux.hpp"

#include <QApplication>
#include <QWidget>
#include <QWindow>

#include <mutex>

#include "platform/dispatch/dispatch.hpp"
#include "platform/ui/gui.hpp"
#include "platform/ui/instance_linux.hpp"
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

  InstanceClaim claimInstance(std::function<void()> reopen) override {
    instance_ = std::make_unique<SessionInstance>(std::move(reopen));
    return instance_->claim();
  }

  bool hasVisibleWindows() const override {
    if (!QApplication::instance() || !windows::hasRealDisplay()) return false;
    for (const QWidget* widget : QApplication::topLevelWidgets()) {
      if (!widget->isVisible() || widget->windowType() == Qt::ToolTip) continue;
      // The XEmbed tray's icon is a window of Qt's own, not one of the application's.
      if (widget->inherits("QSystemTrayIconSys") || widget->objectName() == "QSystemTrayIconSys") continue;
      return true;
    }
    return false;
  }

 private:
  mutable std::mutex mutex_;
  ActivationPolicy policy_ = ActivationPolicy::regular;
  // Main thread only; made by the claim and kept for the process's life.
  std::unique_ptr<SessionInstance> instance_;
};

}  // namespace

std::shared_ptr<Application> makeLinuxApplication() {
  return std::make_shared<LinuxApplication>();
}

}  // namespace platform::ui
