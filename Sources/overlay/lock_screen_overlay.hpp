// The notch animation above the lock screen. One click-through, non-activating panel of
// 320 x 200 points hangs from the top edge of the built-in screen, moved into a window-server
// space of its own at absolute level 400 so that it can be seen over the lock screen; its
// content is the animation view over the one animation model the overlay owns. The overlay
// decides when the panel is shown, placed, kept in place and hidden, and which animation the
// model plays. Without the window server's private functions it is unavailable and every
// animation request does nothing. Main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "overlay/notch_geometry.hpp"
#include "overlay/unlock_animation_model.hpp"
#include "platform/screens/screens.hpp"
#include "platform/windows/windows.hpp"
#include "platform/windowserver/skylight.hpp"

namespace quorvel {

// A register-once guard: the add step runs until it succeeds once.
struct OverlayWindowRegistration {
  bool isRegistered = false;

  bool ensure(const std::function<void()>& beforeAdd, const std::function<std::int32_t()>& add);
  bool ensure(const std::function<std::int32_t()>& add) { return ensure([] {}, add); }
};

// The overlay's panel: it never takes keyboard focus away from the lock screen.
class OverlayWindow : public platform::windows::Panel {
 public:
  OverlayWindow(platform::Rect contentRect, std::uint64_t styleMask,
                platform::windows::BackingStore backing, bool defer)
      : Panel(contentRect, styleMask, backing, defer) {}

  bool canBecomeKeyWindow() const override { return false; }
  bool canBecomeMainWindow() const override { return false; }
};

class LockScreenOverlay : public std::enable_shared_from_this<LockScreenOverlay> {
 public:
  static LockScreenOverlay& shared();

  // x = mid-x of the screen − 160, y = max-y − 200, 320 x 200 (bottom-left coordinates).
  static platform::Rect overlayFrame(const platform::screens::Screen& screen);

  void prepare();
  void beginScanning();
  void showSuccess();
  void showFailure(const std::string& message);
  void showCancelled(const std::string& message);
  void confirmUnlocked();
  void hide();

  bool available() const { return available_; }
  const std::string& lastPlacement() const { return lastPlacement_; }

  ~LockScreenOverlay();

 private:
  LockScreenOverlay();

  void setUpSpace();
  void makeWindow(const platform::screens::Screen& screen);
  bool registerWindow(OverlayWindow& window);
  void present(std::function<void(std::uint64_t)> animation);
  bool showWindow(const platform::screens::Screen& screen);
  void replaceRootView(OverlayWindow& window);
  void restorePresentation(OverlayWindow& panel, const platform::screens::Screen& screen);
  void startTrackingScreen(const std::shared_ptr<OverlayWindow>& panel);
  void repositionIfNeeded(OverlayWindow& panel, const std::string& reason);
  void logServerBounds(OverlayWindow& panel, double delay);
  void tearDown();
  void playEnding(
      std::function<void(UnlockAnimationModel&, UnlockAnimationModel::Completion)> play);
  void removeScreenObserver();
  // Runs `step` later on the main queue only while `panel` is still this presentation's.
  void scheduleForPresentation(double delay, const std::shared_ptr<OverlayWindow>& panel,
                               std::function<void(LockScreenOverlay&, OverlayWindow&)> step);
  bool isCurrent(const OverlayWindow& panel, std::uint64_t generation) const;

  platform::windowserver::skylight::SpaceAddWindowsAndRemoveFromSpaces addWindows_ = nullptr;
  platform::windowserver::skylight::RemoveWindowsFromSpaces removeWindows_ = nullptr;
  platform::windowserver::skylight::GetWindowTransform getWindowTransform_ = nullptr;
  platform::windowserver::skylight::SetWindowTransform setWindowTransform_ = nullptr;
  std::int32_t connection_ = 0;
  std::int32_t space_ = 0;
  bool available_ = false;
  std::shared_ptr<OverlayWindow> window_;
  const std::shared_ptr<UnlockAnimationModel> model_;
  std::string lastPlacement_ = "nothing placed yet";
  NotchGeometry placedNotch_{0, 0, false};
  std::optional<platform::screens::ObserverToken> screenObserver_;
  std::shared_ptr<platform::screens::Screens> observedScreens_;
  std::uint64_t presentationID_ = 0;
  bool presentationActive_ = false;
  OverlayWindowRegistration windowRegistration_;
};

// A double in its shortest decimal form with at least one fractional digit ("180.0", "0.25").
std::string shortestDecimal(double value);

}  // namespace quorvel
