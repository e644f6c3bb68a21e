#include "platform/ui/gui.hpp"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QPointer>
#include <QTimer>

#include <cmath>
#include <cstdlib>
#include <string>

#include "platform/log/log.hpp"
#include "platform/windows/windows.hpp"

namespace platform::ui {
namespace {

int milliseconds(double seconds) {
  if (!(seconds > 0)) return 0;
  return static_cast<int>(std::min(std::ceil(seconds * 1000), 1e9));
}

// Qt's event dispatcher says before every wait, in every run of its loop (nested ones
// included), that it is about to block: the due main-queue work runs then. A post from
// another thread wakes the dispatcher; a timer wakes it when delayed work falls due.
class QtMainLoopPump : public dispatch::MainLoopPump {
 public:
  QtMainLoopPump()
      : receiver_(new QObject()), dispatcher_(QAbstractEventDispatcher::instance()) {
    timer_ = new QTimer(receiver_);
    timer_->setSingleShot(true);
    timer_->setTimerType(Qt::PreciseTimer);
    QObject::connect(timer_, &QTimer::timeout, receiver_, [this] { drainNow(); });
    if (dispatcher_) {
      QObject::connect(dispatcher_, &QAbstractEventDispatcher::aboutToBlock, receiver_,
                       [this] { drainNow(); });
    }
  }
  ~QtMainLoopPump() override { delete receiver_; }

  void attach(std::function<double()> drain) override { drain_ = std::move(drain); }

  void wake() override {
    if (auto* dispatcher = dispatcher_.data()) dispatcher->wakeUp();
  }

  void processEvents(double seconds) override {
    if (!(seconds > 0)) {
      QCoreApplication::processEvents(QEventLoop::AllEvents);
      return;
    }
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.setTimerType(Qt::PreciseTimer);
    if (std::isfinite(seconds)) deadline.start(milliseconds(seconds));
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  }

 private:
  void drainNow() {
    if (!drain_) return;
    const double next = drain_();
    if (std::isinf(next)) {
      timer_->stop();
    } else if (!timer_->isActive() || timer_->remainingTime() > milliseconds(next)) {
      timer_->start(milliseconds(next));
    }
  }

  QObject* receiver_;
  QPointer<QAbstractEventDispatcher> dispatcher_;
  QTimer* timer_;
  std::function<double()> drain_;
};

// Qt's platform plugins in order of preference for the session, off screen last, so that a
// display that cannot be reached does not end the process. X11 (XWayland on a Wayland
// desktop) comes first: only there may a window place itself, as the tutorial and the panel
// do.
std::string platformList() {
  std::string list;
  const char* display = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if (display && *display) list += "xcb;";
  if (wayland && *wayland) list += "wayland;";
  return list + "offscreen";
}

}  // namespace

std::shared_ptr<dispatch::MainLoopPump> makeQtMainLoopPump() {
  return std::make_shared<QtMainLoopPump>();
}

bool startGui() {
  static const bool started = [] {
    if (!QCoreApplication::instance()) {
      const char* chosen = std::getenv("QT_QPA_PLATFORM");
      if (!chosen || !*chosen) ::setenv("QT_QPA_PLATFORM", platformList().c_str(), 1);
      // Lives for the rest of the process, like the application object.
      static int argc = 1;
      static char name[] = "quorvel";
      static char* argv[] = {name, nullptr};
      auto* application = new QApplication(argc, argv);
      application->setQuitOnLastWindowClosed(false);
    }
    if (!windows::hasRealDisplay()) {
      platform::log::Logger("com.tessmin.quorvel", "app")
          .error("No display: the status item, windows and dialogs are not shown");
      return false;
    }
    dispatch::attachMainLoopPump(makeQtMainLoopPump());
    return true;
  }();
  return started;
}

}  // namespace platform::ui
