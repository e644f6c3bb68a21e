#include "platform/windowserver/simulated_window_list.hpp"

#include "platform/windows/simulated_windows.hpp"

namespace platform::windowserver {

std::optional<std::vector<WindowInfo>> SimulatedWindowList::copyWindowInfo(std::uint32_t option,
                                                                           std::uint32_t window) {
  std::optional<Rect> bounds;
  Failure failure;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++queries_;
    options_.push_back(option);
    failure = failure_;
    const auto it = scripted_.find(window);
    if (it != scripted_.end()) bounds = it->second;
  }
  if (failure == Failure::noList) return std::nullopt;
  if (failure == Failure::noEntry) return std::vector<WindowInfo>{};
  WindowInfo info;
  info.number = window;
  if (failure == Failure::noBounds) return std::vector<WindowInfo>{info};
  if (failure == Failure::badBounds) {
    info.bounds = RectDictionary{{"X", 0}, {"Y", 0}};
    return std::vector<WindowInfo>{info};
  }
  if (!bounds) {
    auto system = std::dynamic_pointer_cast<windows::SimulatedWindowSystem>(windows::current());
    const windows::Panel* panel = system ? system->panel(window) : nullptr;
    if (!panel) return std::vector<WindowInfo>{};
    bounds = globalBounds(panel->frame(), primaryHeight(screens::current()->screens()));
  }
  info.bounds = dictionaryRepresentation(*bounds);
  return std::vector<WindowInfo>{info};
}

Rect SimulatedWindowList::displayBounds(std::uint32_t display) {
  return displayBoundsFromScreens(display);
}

void SimulatedWindowList::setBounds(std::uint32_t window, const Rect& bounds) {
  std::lock_guard<std::mutex> lock(mutex_);
  scripted_[window] = bounds;
}

void SimulatedWindowList::clearBounds(std::uint32_t window) {
  std::lock_guard<std::mutex> lock(mutex_);
  scripted_.erase(window);
}

void SimulatedWindowList::setFailure(Failure failure) {
  std::lock_guard<std::mutex> lock(mutex_);
  failure_ = failure;
}

int SimulatedWindowList::queryCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return queries_;
}

std::vector<std::uint32_t> SimulatedWindowList::lastOptions() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return options_;
}

}  // namespace platform::windowserver
