#include "platform/screens/screens.hpp"

#include <QGuiApplication>
#include <QScreen>

#include <algorithm>

#include "platform/dispatch/dispatch.hpp"
#include "platform/windows/windows.hpp"

namespace platform::screens {
namespace {

std::mutex& installMutex() {
  static std::mutex mutex;
  return mutex;
}
// Never destroyed: services that live until the process ends stop watching the screens in
// their destructors.
std::shared_ptr<Screens>& installed() {
  static auto* screens = new std::shared_ptr<Screens>();
  return *screens;
}

}  // namespace

std::optional<std::uint32_t> Screen::displayID() const {
  const auto it = deviceDescription.find(kScreenNumberKey);
  if (it == deviceDescription.end()) return std::nullopt;
  if (const auto* number = std::get_if<std::uint32_t>(&it->second)) return *number;
  return std::nullopt;
}

std::shared_ptr<Screens> current() {
  std::lock_guard<std::mutex> lock(installMutex());
  if (!installed()) installed() = makeLinuxScreens();
  return installed();
}

void install(std::shared_ptr<Screens> screens) {
  std::lock_guard<std::mutex> lock(installMutex());
  installed() = std::move(screens);
}

// --- simulated -------------------------------------------------------------------------

std::vector<Screen> SimulatedScreens::screens() {
  std::lock_guard<std::mutex> lock(mutex_);
  return screens_;
}

std::optional<Screen> SimulatedScreens::mainScreen() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (screens_.empty()) return std::nullopt;
  return screens_[mainIndex_ < screens_.size() ? mainIndex_ : 0];
}

bool SimulatedScreens::displayIsBuiltin(std::uint32_t displayID) {
  std::lock_guard<std::mutex> lock(mutex_);
  builtinQueries_.push_back(displayID);
  for (auto id : builtin_) {
    if (id == displayID) return true;
  }
  return false;
}

ObserverToken SimulatedScreens::addParametersObserver(std::function<void()> callback) {
  std::lock_guard<std::mutex> lock(mutex_);
  const ObserverToken token = next_++;
  observers_.emplace(token, std::move(callback));
  return token;
}

void SimulatedScreens::removeObserver(ObserverToken token) {
  std::lock_guard<std::mutex> lock(mutex_);
  observers_.erase(token);
}

void SimulatedScreens::setScreens(std::vector<Screen> screens) {
  std::lock_guard<std::mutex> lock(mutex_);
  screens_ = std::move(screens);
}

void SimulatedScreens::setMainIndex(std::size_t index) {
  std::lock_guard<std::mutex> lock(mutex_);
  mainIndex_ = index;
}

void SimulatedScreens::setBuiltinDisplays(std::vector<std::uint32_t> displayIDs) {
  std::lock_guard<std::mutex> lock(mutex_);
  builtin_ = std::move(displayIDs);
}

void SimulatedScreens::updateScreen(std::uint32_t displayID, const Screen& screen) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& existing : screens_) {
    if (existing.displayID() == displayID) existing = screen;
  }
}

void SimulatedScreens::postParametersChanged() {
  std::vector<ObserverToken> tokens;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [token, observer] : observers_) tokens.push_back(token);
  }
  // Each delivery looks its observer up again, so one removed meanwhile is not called.
  for (auto token : tokens) {
    dispatch::mainQueue().async([weak = weak_from_this(), token] {
      auto self = weak.lock();
      if (!self) return;
      std::function<void()> observer;
      {
        std::lock_guard<std::mutex> lock(self->mutex_);
        const auto it = self->observers_.find(token);
        if (it == self->observers_.end()) return;
        observer = it->second;
      }
      observer();
    });
  }
}

std::size_t SimulatedScreens::observerCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return observers_.size();
}

std::vector<std::uint32_t> SimulatedScreens::builtinQueries() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return builtinQueries_;
}

// --- linux (Qt) --------------------------------------------------------------------------

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
