#include "platform/windowserver/window_list.hpp"

#include "platform/screens/screens.hpp"
#include "platform/windows/windows.hpp"

namespace platform::windowserver {
namespace {

std::mutex& installMutex() {
  static std::mutex mutex;
  return mutex;
}
std::shared_ptr<WindowList>& installed() {
  static std::shared_ptr<WindowList> value;
  return value;
}

double primaryHeight(const std::vector<screens::Screen>& all) {
  return all.empty() ? 0 : all.front().frame.height();
}

Rect displayBoundsFromScreens(std::uint32_t display) {
  const auto all = screens::current()->screens();
  for (const auto& screen : all) {
    if (screen.displayID() == display) return globalBounds(screen.frame, primaryHeight(all));
  }
  return Rect();
}

class LinuxWindowList : public WindowList {
 public:
  std::optional<std::vector<WindowInfo>> copyWindowInfo(std::uint32_t, std::uint32_t) override {
    return std::nullopt;
  }
  Rect displayBounds(std::uint32_t display) override { return displayBoundsFromScreens(display); }
};

}  // namespace

RectDictionary dictionaryRepresentation(const Rect& rect) {
  return {{"X", rect.origin.x},
          {"Y", rect.origin.y},
          {"Width", rect.size.width},
          {"Height", rect.size.height}};
}

std::optional<Rect> rectFromDictionaryRepresentation(const RectDictionary& dictionary) {
  const auto x = dictionary.find("X");
  const auto y = dictionary.find("Y");
  const auto w = dictionary.find("Width");
  const auto h = dictionary.find("Height");
  if (x == dictionary.end() || y == dictionary.end() || w == dictionary.end() ||
      h == dictionary.end()) {
    return std::nullopt;
  }
  return Rect(x->second, y->second, w->second, h->second);
}

std::shared_ptr<WindowList> windowList() {
  std::lock_guard<std::mutex> lock(installMutex());
  if (!installed()) installed() = makeLinuxWindowList();
  return installed();
}

void installWindowList(std::shared_ptr<WindowList> list) {
  std::lock_guard<std::mutex> lock(installMutex());
  installed() = std::move(list);
}

std::optional<Rect> windowBounds(std::uint32_t window) {
  const auto list = windowList()->copyWindowInfo(window_list_option::includingWindow, window);
  if (!list || list->empty()) return std::nullopt;
  const auto& first = list->front();
  if (!first.bounds) return std::nullopt;
  return rectFromDictionaryRepresentation(*first.bounds);
}

Rect globalBounds(const Rect& frame, double primary) {
  return Rect(frame.minX(), primary - frame.maxY(), frame.width(), frame.height());
}

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

std::shared_ptr<WindowList> makeLinuxWindowList() { return std::make_shared<LinuxWindowList>(); }

}  // namespace platform::windowserver
