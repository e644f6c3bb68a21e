#include "platform/screens/screens_linux.hpp"

#include <QGuiApplication>
#include <QScreen>

#include <algorithm>
#include <mutex>

#include "platform/dispatch/dispatch.hpp"
#include "platform/windows/windows.hpp"

namespace platform::screens {

namespace {

bool isInternalPanel(const QString& name) {
  return name.startsWith("eDP") || name.startsWith("LVDS") || name.startsWith("DSI");
}

double primaryHeight() {
  const QScreen* primary = QGuiApplication::primaryScreen();
  return primary ? primary->geometry().y() + primary->geometry().height() : 0;
}

class LinuxScreens : public Screens {
 public:
  ~LinuxScreens() override { delete context_; }

  std::vector<Screen> screens() override {
    std::vector<Screen> result;
    if (!windows::hasRealDisplay()) return result;
    watchDisplays();
    const double height = primaryHeight();
    std::uint32_t number = 1;
    for (const QScreen* screen : QGuiApplication::screens()) {
      const QRect g = screen->geometry();
      Screen s;
      // Qt's global space has its origin at the top left; ours at the primary's bottom left.
      s.frame = Rect(g.x(), height - (g.y() + g.height()), g.width(), g.height());
      s.deviceDescription[kScreenNumberKey] = number++;
      result.push_back(s);
    }
    // The primary screen comes first, as the window system lists it.
    const auto primary = QGuiApplication::screens().indexOf(QGuiApplication::primaryScreen());
    if (primary > 0) std::rotate(result.begin(), result.begin() + primary, result.begin() + primary + 1);
    return result;
  }

  std::optional<Screen> mainScreen() override {
    auto all = screens();
    if (all.empty()) return std::nullopt;
    return all.front();
  }

  bool displayIsBuiltin(std::uint32_t displayID) override {
    if (!windows::hasRealDisplay()) return false;
    const auto list = QGuiApplication::screens();
    if (displayID == 0 || displayID > static_cast<std::uint32_t>(list.size())) return false;
    return isInternalPanel(list[static_cast<int>(displayID - 1)]->name());
  }

  ObserverToken addParametersObserver(std::function<void()> callback) override {
    ObserverToken token;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      token = next_++;
      observers_.emplace(token, std::move(callback));
    }
    watchDisplays();
    return token;
  }

  void removeObserver(ObserverToken token) override {
    std::lock_guard<std::mutex> lock(mutex_);
    observers_.erase(token);
  }

 private:
  // Connects to Qt's screen notifications once Qt runs on a display (main thread).
  void watchDisplays() {
    if (context_ || !windows::hasRealDisplay() || !dispatch::isMainThread()) return;
    context_ = new QObject();
    auto* app = qobject_cast<QGuiApplication*>(QGuiApplication::instance());
    const auto watch = [this](QScreen* screen) {
      QObject::connect(screen, &QScreen::geometryChanged, context_, [this] { notify(); });
    };
    for (QScreen* screen : QGuiApplication::screens()) watch(screen);
    QObject::connect(app, &QGuiApplication::screenAdded, context_, [this, watch](QScreen* screen) {
      watch(screen);
      notify();
    });
    QObject::connect(app, &QGuiApplication::screenRemoved, context_, [this] { notify(); });
    QObject::connect(app, &QGuiApplication::primaryScreenChanged, context_, [this] { notify(); });
  }

  void notify() {
    std::vector<std::function<void()>> callbacks;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (const auto& [token, observer] : observers_) callbacks.push_back(observer);
    }
    for (auto& callback : callbacks) dispatch::mainQueue().async(callback);
  }

  std::mutex mutex_;
  ObserverToken next_ = 1;
  std::map<ObserverToken, std::function<void()>> observers_;
  QObject* context_ = nullptr;
};

}  // namespace

std::shared_ptr<Screens> makeLinuxScreens() { return std::make_shared<LinuxScreens>(); }

Rect flippedForWindowSystem(const Rect& rect) {
  if (!QGuiApplication::instance() || !QGuiApplication::primaryScreen()) return rect;
  return Rect(rect.minX(), primaryHeight() - rect.maxY(), rect.width(), rect.height());
}

}  // namespace platform::screens
