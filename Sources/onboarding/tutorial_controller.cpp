#include "onboarding/tutorial_controller.hpp"

#include <algorithm>

#include "foundation/settings.hpp"
#include "onboarding/tutorial_view.hpp"
#include "overlay/notch_geometry.hpp"
#include "platform/animation/animation.hpp"
#include "platform/shared.hpp"
#include "platform/ui/application.hpp"

namespace quorvel {

using platform::Rect;

// --- TutorialWindow ---

void TutorialWindow::makeKeyAndOrderFront() {
  orderedOut_ = false;
  orderFrontRegardless();
  key_ = true;
}

void TutorialWindow::orderOut() {
  orderedOut_ = true;
  key_ = false;
}

// --- WindowFrameAnimation ---

WindowFrameAnimation::WindowFrameAnimation(std::shared_ptr<platform::windows::Panel> window,
                                           Rect target, double duration, double c1x, double c1y,
                                           double c2x, double c2y)
    : window_(std::move(window)),
      start_(window_->frame()),
      target_(target),
      duration_(duration),
      c1x_(c1x),
      c1y_(c1y),
      c2x_(c2x),
      c2y_(c2y),
      startTime_(platform::dispatch::now()) {}

std::shared_ptr<WindowFrameAnimation> WindowFrameAnimation::run(
    std::shared_ptr<platform::windows::Panel> window, Rect target, double duration, double c1x,
    double c1y, double c2x, double c2y) {
  auto animation = std::make_shared<WindowFrameAnimation>(std::move(window), target, duration,
                                                          c1x, c1y, c2x, c2y);
  if (duration <= 0) {
    animation->window_->setFrame(target, true);
    return animation;
  }
  std::weak_ptr<WindowFrameAnimation> weak = animation;
  animation->timer_ = platform::dispatch::Timer::scheduled(
      frameInterval, true, [weak](platform::dispatch::Timer& timer) {
        if (auto strong = weak.lock()) {
          strong->step();
        } else {
          timer.invalidate();
        }
      });
  return animation;
}

void WindowFrameAnimation::step() {
  const double x = std::clamp((platform::dispatch::now() - startTime_) / duration_, 0.0, 1.0);
  if (x >= 1) {
    window_->setFrame(target_, true);
    cancel();
    return;
  }
  const double f = platform::animation::solveTimingCurve(c1x_, c1y_, c2x_, c2y_, x);
  const auto mix = [f](double a, double b) { return a + (b - a) * f; };
  window_->setFrame(Rect(mix(start_.minX(), target_.minX()), mix(start_.minY(), target_.minY()),
                         mix(start_.width(), target_.width()),
                         mix(start_.height(), target_.height())),
                    true);
}

void WindowFrameAnimation::cancel() {
  if (timer_) timer_->invalidate();
}

bool WindowFrameAnimation::isRunning() const { return timer_ && timer_->isValid(); }

// --- TutorialController ---

TutorialController& TutorialController::shared() { return *sharedPointer(); }

std::shared_ptr<TutorialController> TutorialController::sharedPointer() {
  static platform::SharedInstance<TutorialController> instance([] {
    auto controller = std::make_shared<TutorialController>();
    controller->subscribeToScreens();
    return controller;
  });
  return instance.pointer();
}

TutorialController::TutorialController() = default;

TutorialController::~TutorialController() {
  if (screensObserver_) platform::screens::current()->removeObserver(*screensObserver_);
  if (animation_) animation_->cancel();
}

void TutorialController::subscribeToScreens() {
  std::weak_ptr<TutorialController> weak = weak_from_this();
  screensObserver_ = platform::screens::current()->addParametersObserver([weak] {
    if (auto controller = weak.lock()) controller->screensChanged();
  });
}

Rect TutorialController::frameFor(platform::Size size, const platform::screens::Screen& screen) {
  const double width = size.width + windowExtraWidth;
  return Rect(screen.frame.midX() - width / 2, screen.frame.maxY() - size.height, width,
              size.height);
}

void TutorialController::presentIfFirstRun() {
  if (Settings::shared().hasSeenWelcome()) return;
  std::weak_ptr<TutorialController> weak = weak_from_this();
  platform::dispatch::mainQueue().asyncAfter(firstRunDelay, [weak] {
    if (auto controller = weak.lock()) controller->present(TutorialStep::welcome);
  });
}

void TutorialController::present(TutorialStep step) {
  if (window_) {
    platform::ui::shared()->activate(true);
    window_->makeKeyAndOrderFront();
    if (step != TutorialStep::welcome && model_) model_->go(step);
    return;
  }
  const auto screen = builtInOrMainScreen();
  if (!screen) return;

  model_ = TutorialModel::make();
  auto window = std::make_shared<TutorialWindow>(
      frameFor(tutorial_step::size(step), *screen), platform::windows::style_mask::borderless,
      platform::windows::BackingStore::buffered, false);
  window->isOpaque = false;
  window->backgroundColor = platform::windows::Color::clear();
  window->hasShadow = false;
  window->level = windowLevel;
  window->isExcludedFromWindowsMenu = true;
  window->collectionBehavior = collectionBehavior;

  // The controller alone decides the window's size; the content follows it.
  auto host = std::make_shared<platform::windows::HostingView>(
      std::make_shared<TutorialView>(model_));
  host->setSafeAreaRegions(platform::windows::SafeAreaRegions::none);
  window->setContentView(host);

  std::weak_ptr<TutorialController> weak = weak_from_this();
  model_->onResize = [weak](platform::Size size) {
    auto controller = weak.lock();
    if (!controller) return;
    controller->resize(size);
    if (controller->onStepChange) controller->onStepChange();
  };
  model_->onFinish = [weak] {
    if (auto controller = weak.lock()) controller->dismiss();
  };

  window_ = window;
  window_->makeKeyAndOrderFront();
  platform::ui::shared()->activate(true);

  auto model = model_;
  platform::dispatch::mainQueue().async([window, model, step] {
    window->makeKey();
    if (step != TutorialStep::welcome) model->go(step);
  });
}

void TutorialController::resize(platform::Size size) {
  const auto screen = builtInOrMainScreen();
  if (!screen || !window_) return;
  if (animation_) animation_->cancel();
  animation_ = WindowFrameAnimation::run(window_, frameFor(size, *screen), resizeDuration,
                                         curveC1x, curveC1y, curveC2x, curveC2y);
}

void TutorialController::dismiss() {
  const auto screen = builtInOrMainScreen();
  if (!window_ || !screen) return;
  const NotchGeometry notch(*screen);
  const platform::Size closed{std::max(closedMinimumWidth, notch.width),
                              std::max(closedMinimumHeight, notch.height)};
  if (animation_) animation_->cancel();
  animation_ = WindowFrameAnimation::run(window_, frameFor(closed, *screen), dismissDuration,
                                         curveC1x, curveC1y, curveC2x, curveC2y);
  std::weak_ptr<TutorialController> weak = weak_from_this();
  auto window = window_;
  platform::dispatch::mainQueue().asyncAfter(closeDelay, [window, weak] {
    window->orderOut();
    window->setContentView(nullptr);
    // A second close of the same window finds it gone and leaves a newer one alone.
    if (auto controller = weak.lock(); controller && controller->window_ == window) {
      controller->window_.reset();
      controller->model_.reset();
      if (controller->animation_) controller->animation_->cancel();
      controller->animation_.reset();
    }
  });
}

void TutorialController::screensChanged() {
  if (!model_ || !window_) return;
  const auto screen = builtInOrMainScreen();
  if (!screen) return;
  if (animation_) animation_->cancel();
  window_->setFrame(frameFor(tutorial_step::size(model_->step), *screen), true);
}

}  // namespace quorvel
