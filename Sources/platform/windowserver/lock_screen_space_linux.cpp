#include "platform/windowserver/lock_screen_space_linux.hpp"

#include <QImage>

#include <cstdlib>
#include <map>

#include "platform/dispatch/dispatch.hpp"
#include "platform/screens/screens_linux.hpp"
#include "platform/windows/windows.hpp"
#include "platform/windowserver/lock_screen_road_common.hpp"

namespace platform::windowserver {
namespace {

// Shows the window it hosts through the road, one frame per road interval while shown.
class RoadHost : public windows::PanelHost, public std::enable_shared_from_this<RoadHost> {
 public:
  explicit RoadHost(std::unique_ptr<LockScreenRoad> road) : road_(std::move(road)) {}

  void panelChanged(windows::Panel& panel) override {
    if (panel_ && panel_ != &panel && showing_) stop();
    panel_ = &panel;
    const bool shown = panel.isVisible() && panel.alphaValue() > 0 && panel.contentView();
    if (!shown) {
      if (showing_) stop();
      return;
    }
    pushFrame();
    if (!showing_) {
      showing_ = true;
      scheduleFrame(++generation_);
    }
  }

  void panelGone(std::int64_t number) override {
    if (!panel_ || panel_->windowNumber() != number) return;
    if (showing_) stop();
    panel_ = nullptr;
  }

  std::optional<Rect> bounds(std::int64_t window) const {
    if (!panel_ || !showing_ || panel_->windowNumber() != window) return std::nullopt;
    return road_->shownBounds();
  }

  void release(std::int64_t window) {
    if (panel_ && panel_->windowNumber() == window) panelGone(window);
  }

 private:
  void stop() {
    showing_ = false;
    ++generation_;
    road_->hide();
  }

  void pushFrame() {
    const QImage frame = panel_->contentView()->render(1.0);
    road_->show(frame, screens::flippedForWindowSystem(panel_->frame()));
  }

  void scheduleFrame(std::uint64_t generation) {
    std::weak_ptr<RoadHost> weak = weak_from_this();
    dispatch::mainQueue().asyncAfter(road_->frameInterval(), [weak, generation] {
      auto self = weak.lock();
      if (!self || self->generation_ != generation || !self->showing_ || !self->panel_) return;
      self->pushFrame();
      self->scheduleFrame(generation);
    });
  }

  std::unique_ptr<LockScreenRoad> road_;
  windows::Panel* panel_ = nullptr;
  bool showing_ = false;
  std::uint64_t generation_ = 0;
};

// The process's space: its functions are plain C functions, so the state they reach is one.
struct SpaceState {
  std::shared_ptr<RoadHost> host;
  std::int32_t lastSpace = 0;
};
SpaceState& state() {
  static auto* value = new SpaceState();
  return *value;
}

namespace functions {
std::int32_t mainConnectionID() { return 1; }
std::int32_t spaceCreate(std::int32_t, std::int32_t, std::int32_t) { return ++state().lastSpace; }
std::int32_t setLevel(std::int32_t, std::int32_t, std::int32_t) { return 0; }
std::int32_t showSpaces(std::int32_t, const NumberArray*) { return 0; }
void addWindows(std::int32_t, std::int32_t, const NumberArray* windows, std::int32_t) {
  if (!windows || !state().host) return;
  for (const auto window : *windows) windows::hostPanel(window, state().host);
}
std::int32_t removeWindows(std::int32_t, const NumberArray* windows, const NumberArray*) {
  if (!windows) return 0;
  for (const auto window : *windows) {
    windows::unhostPanel(window);
    if (state().host) state().host->release(window);
  }
  return 0;
}
}  // namespace functions

class SpaceLibrary : public DynamicLibrary {
 public:
  void* symbol(const std::string& name) override {
    static const std::map<std::string, void*> table = {
        {"SLSMainConnectionID", reinterpret_cast<void*>(&functions::mainConnectionID)},
        {"SLSSpaceCreate", reinterpret_cast<void*>(&functions::spaceCreate)},
        {"SLSSpaceSetAbsoluteLevel", reinterpret_cast<void*>(&functions::setLevel)},
        {"SLSShowSpaces", reinterpret_cast<void*>(&functions::showSpaces)},
        {"SLSSpaceAddWindowsAndRemoveFromSpaces", reinterpret_cast<void*>(&functions::addWindows)},
        {"SLSRemoveWindowsFromSpaces", reinterpret_cast<void*>(&functions::removeWindows)},
    };
    const auto it = table.find(name);
    return it == table.end() ? nullptr : it->second;
  }
};

}  // namespace

std::shared_ptr<DynamicLibrary> makeLockScreenSpace(std::unique_ptr<LockScreenRoad> road) {
  if (!road) return nullptr;
  state().host = std::make_shared<RoadHost>(std::move(road));
  return std::make_shared<SpaceLibrary>();
}

std::shared_ptr<DynamicLibrary> openLockScreenSpace(std::string* whyNot) {
  if (state().host) return std::make_shared<SpaceLibrary>();
  const char* desktop = std::getenv("XDG_CURRENT_DESKTOP");
  std::string why;
  auto road = openLockScreenRoad(knownLockScreenRoads(), desktop ? desktop : "", &why);
  if (!road) {
    overlayLog().info("No road above the lock screen: %s", why);
    if (whyNot) *whyNot = why;
    return nullptr;
  }
  overlayLog().info("Above the lock screen through the %s", road->name());
  return makeLockScreenSpace(std::move(road));
}

std::optional<Rect> lockScreenSpaceBounds(std::int64_t window) {
  if (!state().host) return std::nullopt;
  return state().host->bounds(window);
}

}  // namespace platform::windowserver
