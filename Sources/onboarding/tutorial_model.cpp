#include "onboarding/tutorial_model.hpp"

#include <utility>

#include "foundation/faceprint_store.hpp"
#include "foundation/password_vault.hpp"
#include "foundation/settings.hpp"
#include "platform/capture/capture.hpp"
#include "platform/workspace/url_opener.hpp"
#include "recognition/camera_session.hpp"
#include "unlock/unlocker.hpp"

namespace quorvel {

namespace tutorial_step {

int rawValue(TutorialStep step) { return static_cast<int>(step); }

std::optional<TutorialStep> fromRawValue(int rawValue) {
  if (rawValue < 0 || rawValue > 6) return std::nullopt;
  return static_cast<TutorialStep>(rawValue);
}

const char* title(TutorialStep step) {
  switch (step) {
    case TutorialStep::welcome: return "Quorvel";
    case TutorialStep::camera: return "Let it see";
    case TutorialStep::face: return "Learn your face";
    case TutorialStep::password: return "Your password";
    case TutorialStep::accessibility: return "One last permission";
    case TutorialStep::palm: return "Not right now";
    case TutorialStep::ready: return "Ready";
  }
  return "";
}

platform::Size size(TutorialStep step) {
  switch (step) {
    case TutorialStep::welcome: return {300, 176};
    case TutorialStep::camera: return {320, 196};
    case TutorialStep::face: return {340, 400};
    case TutorialStep::password: return {340, 310};
    case TutorialStep::accessibility: return {340, 250};
    case TutorialStep::palm: return {340, 290};
    case TutorialStep::ready: return {300, 186};
  }
  return {0, 0};
}

}  // namespace tutorial_step

namespace {

bool selectedEngineEnrolled() {
  return FaceprintStore::shared().isEnrolled(Settings::shared().recognitionEngine());
}

}  // namespace

std::shared_ptr<TutorialModel> TutorialModel::make() {
  auto model = std::make_shared<TutorialModel>(Token{});
  std::weak_ptr<TutorialModel> weak = model;
  // Views that watch the tutorial redraw when the scan changes.
  model->enrolmentObserver_ = model->enrolment_->subscribe([weak](const auto&) {
    if (auto strong = weak.lock()) strong->announceChange();
  });
  return model;
}

TutorialModel::TutorialModel(Token)
    : cameraGranted(this, "cameraGranted", CameraSession::authorised()),
      accessibilityGranted(this, "accessibilityGranted", Unlocker::hasAccessibility()),
      passwordSaved(this, "passwordSaved", PasswordVault::hasPassword()),
      faceEnrolled(this, "faceEnrolled", selectedEngineEnrolled()),
      enrolment_(EnrolmentModel::make()) {}

TutorialModel::~TutorialModel() {
  if (enrolmentObserver_) enrolment_->unsubscribe(*enrolmentObserver_);
  if (permissionTimer_) permissionTimer_->invalidate();
  enrolment_->stop();
}

bool TutorialModel::canAdvance() const {
  switch (step.value()) {
    case TutorialStep::welcome:
    case TutorialStep::palm:
    case TutorialStep::ready:
      return true;
    case TutorialStep::camera:
      return cameraGranted;
    case TutorialStep::face:
      return faceEnrolled || enrolment_->finished || selectedEngineEnrolled();
    case TutorialStep::password:
      return passwordSaved;
    case TutorialStep::accessibility:
      return accessibilityGranted;
  }
  return false;
}

std::optional<std::string> TutorialModel::blockedReason() const {
  if (canAdvance()) return std::nullopt;
  switch (step.value()) {
    case TutorialStep::camera: return std::string(cameraBlockedText);
    case TutorialStep::face: return std::string(faceBlockedText);
    case TutorialStep::password: return std::string(passwordBlockedText);
    case TutorialStep::accessibility: return std::string(accessibilityBlockedText);
    default: return std::nullopt;
  }
}

bool TutorialModel::cameraNeedsSettings() {
  using platform::capture::AuthorizationStatus;
  const auto status =
      platform::capture::current()->authorizationStatus(platform::capture::MediaType::video);
  return status == AuthorizationStatus::restricted || status == AuthorizationStatus::denied;
}

void TutorialModel::go(TutorialStep target) {
  if (step.value() == TutorialStep::face) enrolment_->stop();
  ++stepChanges_;
  platform::animation::withAnimation(
      platform::animation::Animation::spring(stepResponse, stepDamping, 0),
      [&] { step = target; });
  if (onResize) onResize(tutorial_step::size(target));
  if (target == TutorialStep::face) enrolment_->start();
}

void TutorialModel::next() {
  if (!canAdvance()) return;
  const TutorialStep current = step;
  if (current == TutorialStep::ready) {
    finish();
    return;
  }
  for (int raw = tutorial_step::rawValue(current) + 1; raw <= 6; ++raw) {
    const TutorialStep candidate = *tutorial_step::fromRawValue(raw);
    bool skipped = false;
    switch (candidate) {
      case TutorialStep::camera: skipped = cameraGranted; break;
      case TutorialStep::face: skipped = faceEnrolled; break;
      case TutorialStep::password: skipped = passwordSaved; break;
      case TutorialStep::accessibility: skipped = accessibilityGranted; break;
      default: break;
    }
    if (!skipped) {
      go(candidate);
      return;
    }
  }
}

void TutorialModel::back() {
  if (auto previous = tutorial_step::fromRawValue(tutorial_step::rawValue(step) - 1)) {
    go(*previous);
  }
}

void TutorialModel::finish() {
  if (permissionTimer_) permissionTimer_->invalidate();
  enrolment_->stop();
  Settings::shared().setHasSeenWelcome(true);
  if (onFinish) onFinish();
}

void TutorialModel::requestCamera() {
  std::weak_ptr<TutorialModel> weak = weak_from_this();
  if (!cameraNeedsSettings()) {
    CameraSession::requestAccess([weak](bool granted) {
      auto model = weak.lock();
      if (!model) return;
      model->cameraGranted = granted;
      if (granted) {
        model->next();
      } else {
        model->announceChange();
      }
    });
    return;
  }
  (void)platform::workspace::urlOpener()->open(cameraSettingsAddress);
  startPoll([] { return CameraSession::authorised(); },
            [](TutorialModel& model) {
              model.cameraGranted = true;
              model.next();
            });
}

void TutorialModel::savePassword() {
  passwordSaveError = std::nullopt;
  if (password.value().empty()) return;
  if (PasswordVault::set(password)) {
    passwordSaved = true;
    password = std::string();
    next();
  } else {
    passwordSaveError = std::string(passwordSaveFailedText);
  }
}

void TutorialModel::requestAccessibility() {
  Unlocker::requestAccessibility();
  startPoll([] { return Unlocker::hasAccessibility(); },
            [](TutorialModel& model) {
              model.accessibilityGranted = true;
              model.next();
            });
}

void TutorialModel::scanFinished() {
  faceEnrolled = true;
  auto self = shared_from_this();
  const std::uint64_t shown = stepChanges_;
  platform::dispatch::mainQueue().asyncAfter(faceAdvanceDelay, [self, shown] {
    if (self->stepChanges_ == shown) self->next();
  });
}

void TutorialModel::announceChange() { revision_ = revision_.value() + 1; }

void TutorialModel::startPoll(std::function<bool()> granted,
                              std::function<void(TutorialModel&)> onGranted) {
  if (permissionTimer_) permissionTimer_->invalidate();
  std::weak_ptr<TutorialModel> weak = weak_from_this();
  permissionTimer_ = platform::dispatch::Timer::scheduled(
      pollInterval, true,
      [weak, granted = std::move(granted), onGranted = std::move(onGranted)](
          platform::dispatch::Timer& timer) {
        if (!granted()) return;
        timer.invalidate();
        platform::dispatch::mainQueue().async([weak, onGranted] {
          if (auto model = weak.lock()) onGranted(*model);
        });
      });
}

}  // namespace quorvel
