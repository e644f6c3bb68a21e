#include "platform/screens/simulated_screens.hpp"

#include "platform/dispatch/dispatch.hpp"

namespace platform::screens {

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

}  // namespace platform::screens
