#include "overlay/unlock_animation_model.hpp"

#include <array>

#include "platform/dispatch/dispatch.hpp"
#include "platform/workspace/display_options.hpp"

namespace quorvel {
namespace {

using platform::animation::Animation;
using platform::animation::withAnimation;

Animation panelCurve(double duration) { return Animation::timingCurve(0.42, 0, 0.58, 1, duration); }
Animation glanceCurve(double duration) { return Animation::timingCurve(0.65, 0, 0.35, 1, duration); }

struct GlanceStep {
  double value;
  double duration;
};
constexpr std::array<GlanceStep, 4> kGlanceSteps{{{-3.2, 0.33}, {3.2, 0.36}, {-1.4, 0.39}, {0, 0.42}}};

}  // namespace

bool UnlockAnimationModel::systemReduceMotion() {
  return platform::workspace::displayOptions()->accessibilityDisplayShouldReduceMotion();
}

std::shared_ptr<UnlockAnimationModel> UnlockAnimationModel::make(bool reduceMotion) {
  return std::make_shared<UnlockAnimationModel>(reduceMotion);
}

UnlockAnimationModel::UnlockAnimationModel(bool reduceMotion) : reduceMotion_(reduceMotion) {}

void UnlockAnimationModel::schedule(double delay, std::function<void()> action) {
  const std::int64_t stamp = generation_;
  std::weak_ptr<UnlockAnimationModel> weak = weak_from_this();
  platform::dispatch::mainQueue().asyncAfter(delay, [weak, stamp, action = std::move(action)] {
    auto self = weak.lock();
    if (!self || self->generation_ != stamp) return;
    action();
  });
}

void UnlockAnimationModel::resetToIdle() {
  generation_ += 1;
  phase_ = Phase::idle;
  panelProgress = 0;
  contentVisible = false;
  illumination = 0;
  sweep = 0;
  sweepOpacity = 1;
  faceOpacity = 0;
  faceScale = 0.94;
  faceTurn = 0;
  glance = 0;
  tickProgress = 0;
  bloom = 0;
  drained = false;
  glyph = Glyph::face;
  shake = 0;
  message = std::nullopt;
  // A completion kept for a success is dropped without being called.
  pendingCompletion_.reset();
}

void UnlockAnimationModel::begin() {
  resetToIdle();
  phase_ = Phase::scanning;
  withAnimation(panelCurve(0.42), [&] { panelProgress = 1; });
  // The content step does not look at the phase: a quick ending still finds the face shown.
  schedule(0.47, [this] {
    contentVisible = true;
    withAnimation(Animation::spring(0.46, 0.88), [&] {
      faceOpacity = 1;
      faceScale = 1;
    });
    startScanning();
  });
}

void UnlockAnimationModel::startScanning() {
  if (!reduceMotion_) {
    sweep = 0;
    sweepOpacity = 1;
    withAnimation(Animation::easeInOut(1.25).repeatForever(false), [&] { sweep = 1; });
    startGlancing();
  } else {
    sweepOpacity = 0;
    withAnimation(Animation::easeInOut(1.6).repeatForever(true), [&] { illumination = 0.85; });
  }
}

void UnlockAnimationModel::startGlancing() { run(0, 0); }

void UnlockAnimationModel::run(std::size_t index, double start) {
  double at = start;
  for (std::size_t i = index; i < kGlanceSteps.size(); ++i) {
    const GlanceStep step = kGlanceSteps[i];
    schedule(at, [this, step] {
      if (phase_ != Phase::scanning) return;
      withAnimation(glanceCurve(step.duration), [&] { glance = step.value; });
    });
    at += step.duration;
  }
  schedule(at, [this] {
    if (phase_ == Phase::scanning) run(0, 0);
  });
}

void UnlockAnimationModel::succeed(Completion completion) {
  if (phase_ != Phase::scanning) {
    if (completion) completion();
    return;
  }
  phase_ = Phase::success;
  pendingCompletion_ = std::move(completion);
  withAnimation(Animation::easeOut(0.14), [&] {
    illumination = 1;
    sweepOpacity = 0;
    glance = 0;
  });
  schedule(0.16, [this] { withAnimation(Animation::linear(0.01), [&] { sweep = 0; }); });
  if (!reduceMotion_) {
    withAnimation(Animation::easeOut(0.4), [&] { bloom = 0.3; });
    schedule(0.6, [this] { withAnimation(Animation::easeIn(0.34), [&] { bloom = 0; }); });
    withAnimation(Animation::timingCurve(0.65, 0, 0.35, 1, 0.3), [&] {
      faceOpacity = 0;
      faceScale = 0.72;
      faceTurn = 45;
    });
    schedule(0.18, [this] { withAnimation(Animation::easeOut(0.34), [&] { tickProgress = 1; }); });
    schedule(1.9, [this] { retractIfPending(); });
  } else {
    schedule(0.12, [this] { withAnimation(Animation::easeInOut(0.22), [&] { faceOpacity = 0; }); });
    schedule(0.34, [this] { tickProgress = 1; });
    schedule(0.72, [this] { retractIfPending(); });
  }
}

void UnlockAnimationModel::confirmedUnlocked() { retractIfPending(); }

void UnlockAnimationModel::retractIfPending() {
  // Whichever of the confirmation and the fallback comes first retracts; the other then
  // finds nothing kept.
  if (phase_ != Phase::success || !pendingCompletion_) return;
  Completion completion = std::move(*pendingCompletion_);
  pendingCompletion_.reset();
  retract(0, std::move(completion));
}

void UnlockAnimationModel::retract(double delay, Completion completion) {
  schedule(delay, [this, completion = std::move(completion)]() mutable {
    withAnimation(Animation::easeOut(0.14), [&] {
      contentVisible = false;
      bloom = 0;
    });
    schedule(0.15, [this, completion = std::move(completion)]() mutable {
      withAnimation(panelCurve(0.55), [&] { panelProgress = 0; });
      schedule(0.61, [completion = std::move(completion)] {
        if (completion) completion();
      });
    });
  });
}

void UnlockAnimationModel::fail(const std::string& text, Completion completion) {
  if (phase_ != Phase::scanning) {
    if (completion) completion();
    return;
  }
  phase_ = Phase::failure;
  withAnimation(Animation::easeOut(0.22), [&] {
    drained = true;
    illumination = 0.55;
    sweepOpacity = 0;
    glance = 0;
  });
  schedule(0.24, [this] { withAnimation(Animation::linear(0.01), [&] { sweep = 0; }); });
  withAnimation(Animation::spring(0.42, 0.9), [&] { message = text; });
  if (!reduceMotion_) {
    withAnimation(Animation::easeInOut(0.075).repeatCountOf(4, true), [&] { shake = 5; });
    schedule(0.34, [this] { withAnimation(Animation::linear(0.01), [&] { shake = 0; }); });
  }
  // Not kept: a confirmation has no effect on a failure.
  retract(1.45, std::move(completion));
}

void UnlockAnimationModel::cancel(const std::string& text, Completion completion) {
  if (phase_ != Phase::scanning) {
    if (completion) completion();
    return;
  }
  withAnimation(Animation::easeOut(0.18), [&] { glyph = Glyph::palm; });
  fail(text, std::move(completion));
}

}  // namespace quorvel
