// The tutorial's window and its one owner. The window hangs from the top edge of the built-in
// screen (else the main screen), centred under the camera housing, 28 points wider than the
// current step's panel; it grows and shrinks with the steps, jumps into place when the
// screens change, and shrinks back into the housing when the tutorial is finished.
// Main thread only.
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "onboarding/tutorial_model.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "platform/geometry/geometry.hpp"
#include "platform/screens/screens.hpp"
#include "platform/windows/windows.hpp"

namespace quorvel {

// A borderless window that still takes keyboard focus (the password field needs it).
class TutorialWindow : public platform::windows::Panel {
 public:
  using Panel::Panel;
  bool canBecomeKeyWindow() const override { return true; }
  bool canBecomeMainWindow() const override { return true; }

  // Orders the window to the front and makes it the key window.
  void makeKeyAndOrderFront();
  void makeKey() { key_ = true; }
  bool isKeyWindow() const { return key_; }
  // Takes the window off the screen.
  void orderOut();
  bool isOrderedOut() const { return orderedOut_; }

 private:
  bool key_ = false;
  bool orderedOut_ = false;
};

// Moves a window's frame along a timing curve, frame by frame on the main queue, like the
// window animator inside an animation group. A new animation of a window replaces the one it
// had; the last frame is the target exactly.
class WindowFrameAnimation {
 public:
  static constexpr double frameInterval = 1.0 / 60;

  static std::shared_ptr<WindowFrameAnimation> run(std::shared_ptr<platform::windows::Panel> window,
                                                   platform::Rect target, double duration,
                                                   double c1x, double c1y, double c2x, double c2y);
  void cancel();
  bool isRunning() const;
  const platform::Rect& target() const { return target_; }
  double duration() const { return duration_; }

  WindowFrameAnimation(std::shared_ptr<platform::windows::Panel> window, platform::Rect target,
                       double duration, double c1x, double c1y, double c2x, double c2y);

 private:
  void step();

  std::shared_ptr<platform::windows::Panel> window_;
  platform::Rect start_;
  platform::Rect target_;
  double duration_;
  double c1x_, c1y_, c2x_, c2y_;
  double startTime_;
  std::shared_ptr<platform::dispatch::Timer> timer_;
};

class TutorialController : public std::enable_shared_from_this<TutorialController> {
 public:
  static constexpr double firstRunDelay = 0.6;
  static constexpr double resizeDuration = 0.42;
  static constexpr double dismissDuration = 0.28;
  static constexpr double closeDelay = 0.32;
  static constexpr double curveC1x = 0.22, curveC1y = 1.0, curveC2x = 0.36, curveC2y = 1.0;
  static constexpr double windowExtraWidth = 28;
  static constexpr double closedMinimumWidth = 140;
  static constexpr double closedMinimumHeight = 6;
  // The status-bar window level, plus one.
  static constexpr std::int64_t windowLevel = 25 + 1;
  static constexpr std::uint64_t collectionBehavior =
      platform::windows::collection_behavior::canJoinAllSpaces |
      platform::windows::collection_behavior::fullScreenAuxiliary;

  static TutorialController& shared();
  static std::shared_ptr<TutorialController> sharedPointer();
  TutorialController();
  ~TutorialController();
  TutorialController(const TutorialController&) = delete;
  TutorialController& operator=(const TutorialController&) = delete;

  const std::shared_ptr<TutorialWindow>& window() const { return window_; }
  const std::shared_ptr<TutorialModel>& model() const { return model_; }
  bool isShowing() const { return window_ != nullptr; }
  // The frame animation running or last run on the window.
  const std::shared_ptr<WindowFrameAnimation>& frameAnimation() const { return animation_; }

  // Told after the tutorial moved to another step: what it sets up (the face, the password,
  // a permission) may have changed with the step it left.
  std::function<void()> onStepChange;

  void presentIfFirstRun();
  void present(TutorialStep step = TutorialStep::welcome);
  void dismiss();
  void screensChanged();

  // The window's frame for a panel size on a screen: 28 wider, centred, hanging from the
  // screen's top edge.
  static platform::Rect frameFor(platform::Size size, const platform::screens::Screen& screen);

 private:
  void resize(platform::Size size);
  void subscribeToScreens();

  std::shared_ptr<TutorialWindow> window_;
  std::shared_ptr<TutorialModel> model_;
  std::shared_ptr<WindowFrameAnimation> animation_;
  std::optional<platform::screens::ObserverToken> screensObserver_;
};

}  // namespace quorvel
