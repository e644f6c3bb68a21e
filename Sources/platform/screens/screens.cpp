#include "platform/screens/screens.hpp"

#include <QGuiApplication>
#include <QScreen>

#include "platform/dispatch/dispatch.hpp"

namespace platform::screens {
namespace {

std::mutex& installMutex() {
  static std::mutex mutex;
  return mutex;
}
std::shared_ptr<Screens>& installed() {
  static std::shared_ptr<Screens> screens;
  return screens;
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

class LinuxScreens : public Screens {
 public:
  std::vector<Screen> screens() override {
    std::vector<Screen> result;
    if (!QGuiApplication::instance()) return result;
    const auto list = QGuiApplication::screens();
    const QScreen* primary = QGuiApplication::primaryScreen();
    const double primaryHeight = primary ? primary->geometry().height() : 0;
    std::uint32_t number = 1;
    for (const QScreen* screen : list) {
      const QRect g = screen->geometry();
      Screen s;
      // Qt's global space has its origin at the top left; ours at the primary's bottom left.
      s.frame = Rect(g.x(), primaryHeight - (g.y() + g.height()), g.width(), g.height());
      s.deviceDescription[kScreenNumberKey] = number++;
      result.push_back(s);
    }
    return result;
  }

  std::optional<Screen> mainScreen() override {
    auto all = screens();
    if (all.empty()) return std::nullopt;
    return all.front();
  }

  bool displayIsBuiltin(std::uint32_t displayID) override {
    if (!QGuiApplication::instance()) return false;
    const auto list = QGuiApplication::screens();
    if (displayID == 0 || displayID > static_cast<std::uint32_t>(list.size())) return false;
    return isInternalPanel(list[static_cast<int>(displayID - 1)]->name());
  }

  ObserverToken addParametersObserver(std::function<void()> callback) override {
    std::lock_guard<std::mutex> lock(mutex_);
    const ObserverToken token = next_++;
    observers_.emplace(token, callback);
    if (auto* app = qobject_cast<QGuiApplication*>(QGuiApplication::instance())) {
      auto deliver = [callback] { dispatch::mainQueue().async(callback); };
      connections_[token] = {
          QObject::connect(app, &QGuiApplication::screenAdded, deliver),
          QObject::connect(app, &QGuiApplication::screenRemoved, deliver),
          QObject::connect(app, &QGuiApplication::primaryScreenChanged, deliver)};
    }
    return token;
  }

  void removeObserver(ObserverToken token) override {
    std::lock_guard<std::mutex> lock(mutex_);
    observers_.erase(token);
    const auto it = connections_.find(token);
    if (it == connections_.end()) return;
    for (auto& connection : it->second) QObject::disconnect(connection);
    connections_.erase(it);
  }

 private:
  std::mutex mutex_;
  ObserverToken next_ = 1;
  std::map<ObserverToken, std::function<void()>> observers_;
  std::map<ObserverToken, std::vector<QMetaObject::Connection>> connections_;
};

}  // namespace

std::shared_ptr<Screens> makeLinuxScreens() { return std::make_shared<LinuxScreens>(); }

}  // namespace platform::screens
