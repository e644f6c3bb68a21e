#include "platform/windowserver/window_list.hpp"

#include <mutex>

#include "platform/windowserver/window_list_linux.hpp"

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

}  // namespace

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

}  // namespace platform::windowserver
