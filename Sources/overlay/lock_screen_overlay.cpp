#include "overlay/lock_screen_overlay.hpp"

#include <charconv>
#include <cmath>
#include <mutex>
#include <vector>

#include "foundation/log.hpp"
#include "foundation/settings.hpp"
#include "overlay/unlock_animation_view.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "platform/shared.hpp"
#include "platform/windowserver/window_list.hpp"

namespace quorvel {
namespace {

namespace ws = platform::windowserver;
namespace windows = platform::windows;
using platform::Rect;
using platform::screens::Screen;

constexpr double kOverlayWidth = 320;
constexpr double kOverlayHeight = 200;
constexpr std::int32_t kSpaceLevel = 400;
constexpr std::int32_t kAddWindowsFlags = 7;
constexpr std::int64_t kOverlayLevel = 2147483645;  // 0x7FFFFFFD
constexpr std::uint64_t kCollectionBehavior =
    windows::collection_behavior::canJoinAllSpaces | windows::collection_behavior::stationary |
    windows::collection_behavior::ignoresCycle |
    windows::collection_behavior::fullScreenAuxiliary |
    windows::collection_behavior::canJoinAllApplications;  // 262481
constexpr std::uint64_t kStyleMask =
    windows::style_mask::nonactivatingPanel | windows::style_mask::fullSizeContentView;  // 32896

// The window server's library stays open for the life of the process.
void keepOpen(std::shared_ptr<ws::DynamicLibrary> library) {
  static std::mutex mutex;
  static std::vector<std::shared_ptr<ws::DynamicLibrary>> kept;
  std::lock_guard<std::mutex> lock(mutex);
  kept.push_back(std::move(library));
}

bool sameNotchSize(const NotchGeometry& a, const NotchGeometry& b) {
  return a.width == b.width && a.height == b.height;
}

}  // namespace

std::string shortestDecimal(double value) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  std::string text(buffer, result.ptr);
  if (text.find_first_of(".en") == std::string::npos) text += ".0";
  return text;
}

bool OverlayWindowRegistration::ensure(const std::function<void()>& beforeAdd,
                                       const std::function<std::int32_t()>& add) {
  if (isRegistered) return true;
  if (beforeAdd) beforeAdd();
  if (add() == 0) {
    isRegistered = true;
    return true;
  }
  return false;
}

LockScreenOverlay& LockScreenOverlay::shared() {
  static platform::SharedInstance<LockScreenOverlay> instance(
      [] { return std::shared_ptr<LockScreenOverlay>(new LockScreenOverlay()); });
  return instance.get();
}

Rect LockScreenOverlay::overlayFrame(const Screen& screen) {
  return Rect(screen.frame.midX() - kOverlayWidth / 2, screen.frame.maxY() - kOverlayHeight,
              kOverlayWidth, kOverlayHeight);
}

LockScreenOverlay::LockScreenOverlay() : model_(UnlockAnimationModel::make()) { setUpSpace(); }

LockScreenOverlay::~LockScreenOverlay() { removeScreenObserver(); }

void LockScreenOverlay::setUpSpace() {
  auto library = ws::loader()->open(ws::kSkyLightPath, ws::kRTLDNow);
  if (!library) {
    Log::overlay().error("SkyLight unavailable; animation disabled");
    return;
  }
  keepOpen(library);
  const char* required[] = {"SLSMainConnectionID",
                            "SLSSpaceCreate",
                            "SLSSpaceSetAbsoluteLevel",
                            "SLSShowSpaces",
                            "SLSSpaceAddWindowsAndRemoveFromSpaces",
                            "SLSRemoveWindowsFromSpaces"};
  void* found[6] = {};
  for (int i = 0; i < 6; ++i) {
    found[i] = library->symbol(required[i]);
    if (!found[i]) {
      Log::overlay().error("SkyLight symbols missing; animation disabled");
      return;
    }
  }
  const auto mainConnection = ws::functionCast<ws::skylight::MainConnectionID>(found[0]);
  const auto spaceCreate = ws::functionCast<ws::skylight::SpaceCreate>(found[1]);
  const auto setLevel = ws::functionCast<ws::skylight::SpaceSetAbsoluteLevel>(found[2]);
  const auto showSpaces = ws::functionCast<ws::skylight::ShowSpaces>(found[3]);

  connection_ = mainConnection();
  space_ = spaceCreate(connection_, 1, 0);
  setLevel(connection_, space_, kSpaceLevel);
  const ws::NumberArray spaces{space_};
  showSpaces(connection_, &spaces);

  addWindows_ = ws::functionCast<ws::skylight::SpaceAddWindowsAndRemoveFromSpaces>(found[4]);
  removeWindows_ = ws::functionCast<ws::skylight::RemoveWindowsFromSpaces>(found[5]);
  getWindowTransform_ =
      ws::functionCast<ws::skylight::GetWindowTransform>(library->symbol("SLSGetWindowTransform"));
  setWindowTransform_ =
      ws::functionCast<ws::skylight::SetWindowTransform>(library->symbol("SLSSetWindowTransform"));

  available_ = true;
  Log::overlay().info("SkyLight space ready at level 400");
}

void LockScreenOverlay::makeWindow(const Screen& screen) {
  const NotchGeometry notch(screen);
  auto panel = std::make_shared<OverlayWindow>(overlayFrame(screen), kStyleMask,
                                               windows::BackingStore::buffered, false);
  panel->isOpaque = false;
  panel->backgroundColor = windows::Color::clear();
  panel->setAlphaValue(0);
  panel->hidesOnDeactivate = false;
  panel->isFloatingPanel = true;
  panel->hasShadow = false;
  panel->ignoresMouseEvents = true;
  panel->isExcludedFromWindowsMenu = true;
  panel->canBecomeVisibleWithoutLogin = true;
  panel->animationBehavior = windows::AnimationBehavior::none;
  panel->level = kOverlayLevel;
  panel->collectionBehavior = kCollectionBehavior;
  auto host = std::make_shared<windows::HostingView>(
      std::make_shared<UnlockAnimationView>(model_, notch));
  host->setSafeAreaRegions(windows::SafeAreaRegions::none);
  panel->setContentView(host);

  window_ = panel;
  placedNotch_ = notch;
  registerWindow(*panel);
  panel->orderFrontRegardless();
}

bool LockScreenOverlay::registerWindow(OverlayWindow& window) {
  const bool registered = windowRegistration_.ensure(
      [&window] { window.orderFrontRegardless(); },
      [this, &window]() -> std::int32_t {
        if (!addWindows_) return -1;
        const ws::NumberArray windowNumbers{window.windowNumber()};
        addWindows_(connection_, space_, &windowNumbers, kAddWindowsFlags);
        Log::overlay().log("Overlay registration issued window=%{public}ld space=%{public}d",
                           window.windowNumber(), space_);
        return 0;
      });
  if (!registered) {
    Log::overlay().error(
        "Overlay canvas registration deferred; retrying before the next animation");
    return false;
  }
  return true;
}

void LockScreenOverlay::prepare() {
  if (!available_ || window_) return;
  const auto screen = builtInOrMainScreen();
  if (!screen) return;
  makeWindow(*screen);
  if (windowRegistration_.isRegistered) {
    Log::overlay().info("Overlay canvas registered before any lock");
  } else {
    Log::overlay().info("Overlay canvas prepared; registration will retry before animation");
  }
}

void LockScreenOverlay::beginScanning() {
  present([this](std::uint64_t) { model_->begin(); });
}

void LockScreenOverlay::present(std::function<void(std::uint64_t)> animation) {
  if (!available_ || !Settings::shared().playAnimation()) return;
  presentationID_ += 1;
  presentationActive_ = true;
  const std::uint64_t generation = presentationID_;
  std::weak_ptr<LockScreenOverlay> weak = weak_from_this();
  platform::dispatch::mainQueue().asyncAfter(0.3, [weak, generation, animation] {
    auto self = weak.lock();
    if (!self || !self->presentationActive_ || self->presentationID_ != generation) return;
    const auto screen = builtInOrMainScreen();
    if (!screen) return;
    if (self->showWindow(*screen)) animation(generation);
  });
}

bool LockScreenOverlay::showWindow(const Screen& screen) {
  if (!window_) makeWindow(screen);
  if (!window_) return false;
  const std::shared_ptr<OverlayWindow> panel = window_;
  if (!registerWindow(*panel)) {
    panel->setAlphaValue(0);
    return false;
  }
  const NotchGeometry notch(screen);
  if (!sameNotchSize(notch, placedNotch_)) {
    placedNotch_ = notch;
    replaceRootView(*panel);
  }
  panel->setFrame(overlayFrame(screen), false);
  panel->setAlphaValue(1);

  const Rect hostingFrame = panel->contentView() ? panel->contentView()->frame() : Rect();
  lastPlacement_ = "window=" + windows::stringFromRect(panel->frame()) +
                   " screen=" + windows::stringFromRect(screen.frame) +
                   " notch=" + shortestDecimal(notch.width) + "x" + shortestDecimal(notch.height) +
                   " hasNotch=" + (notch.hasNotch ? "true" : "false") +
                   " hostingFrame=" + windows::stringFromRect(hostingFrame);
  Log::overlay().log("Persistent overlay shown: %{public}s", lastPlacement_);

  restorePresentation(*panel, screen);
  startTrackingScreen(panel);
  for (double delay : {0.4, 1.2}) {
    scheduleForPresentation(delay, panel, [delay](LockScreenOverlay& self, OverlayWindow& p) {
      self.logServerBounds(p, delay);
    });
  }
  return true;
}

void LockScreenOverlay::replaceRootView(OverlayWindow& window) {
  const auto& host = window.contentView();
  if (!host) return;
  if (!std::dynamic_pointer_cast<UnlockAnimationView>(host->rootView())) return;
  host->setRootView(std::make_shared<UnlockAnimationView>(model_, placedNotch_));
}

bool LockScreenOverlay::isCurrent(const OverlayWindow& panel, std::uint64_t generation) const {
  return window_.get() == &panel && presentationActive_ && presentationID_ == generation;
}

void LockScreenOverlay::scheduleForPresentation(
    double delay, const std::shared_ptr<OverlayWindow>& panel,
    std::function<void(LockScreenOverlay&, OverlayWindow&)> step) {
  const std::uint64_t generation = presentationID_;
  std::weak_ptr<LockScreenOverlay> weakSelf = weak_from_this();
  std::weak_ptr<OverlayWindow> weakPanel = panel;
  platform::dispatch::mainQueue().asyncAfter(delay, [weakSelf, weakPanel, generation, step] {
    auto self = weakSelf.lock();
    auto strongPanel = weakPanel.lock();
    if (!self || !strongPanel || !self->isCurrent(*strongPanel, generation)) return;
    step(*self, *strongPanel);
  });
}

void LockScreenOverlay::restorePresentation(OverlayWindow& panel, const Screen& screen) {
  if (window_.get() != &panel || !getWindowTransform_ || !setWindowTransform_) return;
  const auto display = screen.displayID();
  if (!display) return;
  const Rect displayBounds = ws::windowList()->displayBounds(*display);
  const Rect frame = panel.frame();
  const double expectedX = displayBounds.minX() + frame.minX() - screen.frame.minX();
  const double expectedY = displayBounds.minY() + screen.frame.maxY() - frame.maxY();

  const auto window = static_cast<std::uint32_t>(panel.windowNumber());
  const auto bounds = ws::windowBounds(window);
  if (!bounds) return;
  if (std::fabs(bounds->minX() - expectedX) <= 1.0 &&
      std::fabs(bounds->minY() - expectedY) <= 1.0 &&
      std::fabs(bounds->width() - frame.width()) <= 1.0 &&
      std::fabs(bounds->height() - frame.height()) <= 1.0) {
    return;
  }
  const auto target = platform::AffineTransform::translation(-expectedX, -expectedY);
  platform::AffineTransform current = platform::AffineTransform::identity();
  if (getWindowTransform_(connection_, window, &current) != 0) return;
  if (std::fabs(current.a - 1) <= 0.0001 && std::fabs(current.b) <= 0.0001 &&
      std::fabs(current.c) <= 0.0001 && std::fabs(current.d - 1) <= 0.0001 &&
      std::fabs(current.tx - target.tx) <= 0.01 && std::fabs(current.ty - target.ty) <= 0.01) {
    return;
  }
  const std::int32_t status = setWindowTransform_(connection_, window, target);
  Log::overlay().log(
      "Overlay presentation reset: scale=%{public}f,%{public}f translation=%{public}f,%{public}f "
      "expected=%{public}f,%{public}f status=%{public}d",
      current.a, current.d, current.tx, current.ty, expectedX, expectedY, status);
}

void LockScreenOverlay::startTrackingScreen(const std::shared_ptr<OverlayWindow>& panel) {
  removeScreenObserver();
  const std::uint64_t generation = presentationID_;
  std::weak_ptr<LockScreenOverlay> weakSelf = weak_from_this();
  std::weak_ptr<OverlayWindow> weakPanel = panel;
  observedScreens_ = platform::screens::current();
  screenObserver_ =
      observedScreens_->addParametersObserver([weakSelf, weakPanel, generation] {
        auto self = weakSelf.lock();
        auto strongPanel = weakPanel.lock();
        if (!self || !strongPanel || !self->isCurrent(*strongPanel, generation)) return;
        self->repositionIfNeeded(*strongPanel, "screens changed");
      });
  for (double delay : {0.25, 0.6, 1.2, 2.0}) {
    const std::string reason = "re-check at " + shortestDecimal(delay) + "s";
    scheduleForPresentation(delay, panel, [reason](LockScreenOverlay& self, OverlayWindow& p) {
      self.repositionIfNeeded(p, reason);
    });
  }
}

void LockScreenOverlay::repositionIfNeeded(OverlayWindow& panel, const std::string& reason) {
  const auto screen = builtInOrMainScreen();
  if (!screen) return;
  const Rect expected = overlayFrame(*screen);
  const NotchGeometry notch(*screen);
  const bool frameRight = panel.frame() == expected;
  const bool notchChanged = !sameNotchSize(notch, placedNotch_);
  if (frameRight && !notchChanged) {
    restorePresentation(panel, *screen);
    return;
  }
  Log::overlay().log(
      "Overlay corrected (%{public}s): %{public}s -> %{public}s notch %{public}fx%{public}f -> "
      "%{public}fx%{public}f screen=%{public}s",
      reason, windows::stringFromRect(panel.frame()), windows::stringFromRect(expected),
      placedNotch_.width, placedNotch_.height, notch.width, notch.height,
      windows::stringFromRect(screen->frame));
  if (notchChanged) {
    placedNotch_ = notch;
    replaceRootView(panel);
  }
  if (!frameRight) panel.setFrame(expected, true);
  restorePresentation(panel, *screen);
}

void LockScreenOverlay::logServerBounds(OverlayWindow& panel, double delay) {
  const auto bounds = ws::windowBounds(static_cast<std::uint32_t>(panel.windowNumber()));
  if (!bounds) {
    Log::overlay().log("Server bounds unavailable at %{public}fs", delay);
    return;
  }
  const auto screen = builtInOrMainScreen();
  Log::overlay().log(
      "Server bounds at %{public}fs: %{public}s (top-left origin) vs NSWindow.frame %{public}s "
      "(bottom-left) screen=%{public}s",
      delay, windows::stringFromRect(*bounds), windows::stringFromRect(panel.frame()),
      windows::stringFromRect(screen ? screen->frame : Rect()));
}

void LockScreenOverlay::showSuccess() {
  playEnding([](UnlockAnimationModel& model, UnlockAnimationModel::Completion done) {
    model.succeed(std::move(done));
  });
}

void LockScreenOverlay::showFailure(const std::string& message) {
  playEnding([message](UnlockAnimationModel& model, UnlockAnimationModel::Completion done) {
    model.fail(message, std::move(done));
  });
}

void LockScreenOverlay::showCancelled(const std::string& message) {
  playEnding([message](UnlockAnimationModel& model, UnlockAnimationModel::Completion done) {
    model.cancel(message, std::move(done));
  });
}

// An ending plays on the main queue for the presentation current now, and tears the panel
// down when it completes unless a newer presentation began meanwhile.
void LockScreenOverlay::playEnding(
    std::function<void(UnlockAnimationModel&, UnlockAnimationModel::Completion)> play) {
  if (!available_) return;
  const std::uint64_t generation = presentationID_;
  std::weak_ptr<LockScreenOverlay> weak = weak_from_this();
  platform::dispatch::mainQueue().async([weak, generation, play = std::move(play)] {
    auto self = weak.lock();
    if (!self || !self->presentationActive_ || self->presentationID_ != generation) return;
    play(*self->model_, [weak, generation] {
      auto owner = weak.lock();
      if (owner && owner->presentationID_ == generation) owner->tearDown();
    });
  });
}

void LockScreenOverlay::confirmUnlocked() {
  std::weak_ptr<LockScreenOverlay> weak = weak_from_this();
  platform::dispatch::mainQueue().async([weak] {
    if (auto self = weak.lock()) self->model_->confirmedUnlocked();
  });
}

void LockScreenOverlay::hide() {
  std::weak_ptr<LockScreenOverlay> weak = weak_from_this();
  platform::dispatch::mainQueue().async([weak] {
    if (auto self = weak.lock()) self->tearDown();
  });
}

void LockScreenOverlay::removeScreenObserver() {
  if (!screenObserver_) return;
  if (observedScreens_) observedScreens_->removeObserver(*screenObserver_);
  screenObserver_.reset();
  observedScreens_.reset();
}

void LockScreenOverlay::tearDown() {
  presentationID_ += 1;
  presentationActive_ = false;
  removeScreenObserver();
  if (window_) {
    window_->setAlphaValue(0);
    model_->resetToIdle();
  }
}

}  // namespace quorvel
