// Readiness, the lock, sleep and unlock handlers, the start and end of an attempt, the
// camera retries, the deadline and the hand-over to the unlocker. Frame handling is in
// unlock_coordinator_frames.cpp.
#include "unlock/unlock_coordinator.hpp"

#include <utility>

#include "foundation/faceprint_store.hpp"
#include "foundation/log.hpp"
#include "foundation/password_vault.hpp"
#include "foundation/settings.hpp"
#include "overlay/lock_screen_overlay.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "platform/shared.hpp"
#include "recognition/face_models.hpp"
#include "unlock/lock_monitor.hpp"
#include "unlock/unlocker.hpp"

namespace quorvel {

namespace {
platform::SharedInstance<UnlockCoordinator>& instance() {
  static platform::SharedInstance<UnlockCoordinator> shared([] { return UnlockCoordinator::make(); });
  return shared;
}
}  // namespace

std::shared_ptr<UnlockCoordinator> UnlockCoordinator::make() {
  auto coordinator = std::make_shared<UnlockCoordinator>(Token{});
  const std::weak_ptr<UnlockCoordinator> weak = coordinator;
  coordinator->camera_->onFrame = [weak](const Frame& frame) {
    if (const auto self = weak.lock()) self->handle(frame);
  };
  return coordinator;
}

UnlockCoordinator& UnlockCoordinator::shared() { return instance().get(); }
std::shared_ptr<UnlockCoordinator> UnlockCoordinator::sharedPointer() { return instance().pointer(); }

UnlockCoordinator::UnlockCoordinator(Token)
    : camera_(CameraSession::create()),
      engine_(std::make_shared<MatchEngine>(spec(Settings::shared().recognitionEngine()))) {}

UnlockCoordinator::Mode UnlockCoordinator::mode() const {
  std::lock_guard<std::mutex> guard(state_);
  return mode_;
}

bool UnlockCoordinator::isActive() const {
  std::lock_guard<std::mutex> guard(state_);
  return active_;
}

bool UnlockCoordinator::hasSucceeded() const {
  std::lock_guard<std::mutex> guard(state_);
  return succeeded_;
}

UnlockCoordinator::TestResult UnlockCoordinator::testResult() const {
  std::lock_guard<std::mutex> guard(state_);
  return testResult_;
}

bool UnlockCoordinator::isReady() const {
  return Settings::shared().unlockEnabled() &&
         FaceprintStore::shared().isEnrolled(Settings::shared().recognitionEngine()) &&
         PasswordVault::hasPassword() && Unlocker::hasAccessibility() &&
         !FaceModels::shared().loadFailed();
}

std::optional<std::string> UnlockCoordinator::blocker() const {
  if (FaceModels::shared().loadFailed()) return "Face models failed to load";
  if (!FaceprintStore::shared().isEnrolled(Settings::shared().recognitionEngine())) {
    return "Set up your face first";
  }
  if (!PasswordVault::hasPassword()) return "Save your password first";
  if (!Unlocker::hasAccessibility()) return "Accessibility permission needed";
  if (!Settings::shared().unlockEnabled()) return "Turned off";
  return std::nullopt;
}

void UnlockCoordinator::screenDidLock() {
  // A wake re-check or a second lock notification during an attempt (or a lock during a
  // match test) changes nothing.
  if (isActive()) return;
  if (isReady()) {
    start(Mode::unlocking);
    return;
  }
  Log::unlock().info("Not attempting unlock: %s", blocker().value_or("unknown"));
}

void UnlockCoordinator::screenDidSleep() {
  session_.invalidate();
  Unlocker::cancelPendingUnlock();
  finish(std::nullopt, false);
}

void UnlockCoordinator::screenDidUnlock() {
  session_.invalidate();
  Unlocker::cancelPendingUnlock();
  bool confirm = false;
  {
    std::lock_guard<std::mutex> guard(state_);
    if (succeeded_) {
      succeeded_ = false;
      confirm = true;
    }
  }
  if (confirm) {
    LockScreenOverlay::shared().confirmUnlocked();
  } else {
    finish(std::nullopt, false);
  }
}

void UnlockCoordinator::runTest(TestCompletion completion) {
  {
    std::lock_guard<std::mutex> guard(state_);
    onTestFinished_ = std::move(completion);
    testResult_ = TestResult();
    bestSimilaritySeeded_ = false;
  }
  start(Mode::testing);
}

void UnlockCoordinator::start(Mode mode) {
  if (isActive()) return;
  auto engine = std::make_shared<MatchEngine>(spec(Settings::shared().recognitionEngine()));
  const std::optional<UUID> begun = [&]() -> std::optional<UUID> {
    std::lock_guard<std::mutex> guard(state_);
    if (active_) return std::nullopt;
    const UUID id = session_.begin();
    active_ = true;
    succeeded_ = false;
    mode_ = mode;
    engine_ = std::move(engine);
    sessionStart_ = platform::dispatch::now();
    firstFaceSeen_.reset();
    consecutivePalmFrames_ = 0;
    return id;
  }();
  if (!begun) return;
  const UUID id = *begun;
  if (mode == Mode::unlocking) LockScreenOverlay::shared().beginScanning();
  startCameraWithRetry(cameraAttempts, id);

  const std::weak_ptr<UnlockCoordinator> weak = weak_from_this();
  const double deadline = mode == Mode::unlocking ? unlockDeadline : testDuration;
  platform::dispatch::mainQueue().asyncAfter(deadline, [weak, id, mode] {
    const auto self = weak.lock();
    if (!self) return;
    if (mode == Mode::unlocking) {
      self->finish(std::string(deadlineMessage), false, id);
    } else {
      self->finish(std::nullopt, false, id);
    }
  });
}

void UnlockCoordinator::startCameraWithRetry(std::int64_t attemptsLeft, const UUID& sessionID) {
  if (!isActive() || !session_.contains(sessionID)) return;
  const std::weak_ptr<UnlockCoordinator> weak = weak_from_this();
  camera_->start([weak, attemptsLeft, sessionID](bool running) {
    const auto self = weak.lock();
    if (!self || !self->isActive() || !self->session_.contains(sessionID) || running) return;
    if (attemptsLeft >= 2) {
      Log::unlock().info("Camera not ready yet, retrying (%ld attempt(s) left)",
                         static_cast<long>(attemptsLeft - 1));
      platform::dispatch::mainQueue().asyncAfter(cameraRetryDelay, [weak, attemptsLeft, sessionID] {
        if (const auto owner = weak.lock()) owner->startCameraWithRetry(attemptsLeft - 1, sessionID);
      });
      return;
    }
    Log::unlock().error("Camera would not start after %ld attempts", static_cast<long>(cameraAttempts));
    self->finish(std::string(cameraUnavailableMessage), false, sessionID);
  });
}

void UnlockCoordinator::finish(const std::optional<std::string>& message, bool cancelled,
                               const std::optional<UUID>& attempt) {
  Mode mode;
  TestResult result;
  TestCompletion completion;
  {
    std::lock_guard<std::mutex> guard(state_);
    if (!active_ || (attempt && !session_.contains(*attempt))) return;
    // All in one step: an attempt that starts right after this one (a lock, a wake re-check,
    // a test) gets a UUID nobody invalidates and a camera start queued after this stop, also
    // when this runs on the camera queue.
    active_ = false;
    session_.invalidate();
    camera_->stop();
    mode = mode_;
    if (mode == Mode::testing) {
      result = testResult_;
      completion = std::move(onTestFinished_);
      onTestFinished_ = nullptr;
    }
  }
  if (onAttemptEnded) onAttemptEnded();
  if (mode == Mode::unlocking) {
    if (!message) {
      LockScreenOverlay::shared().hide();
    } else if (cancelled) {
      LockScreenOverlay::shared().showCancelled(*message);
    } else {
      LockScreenOverlay::shared().showFailure(*message);
    }
    return;
  }
  // Always later on the main queue, also when this already runs there.
  platform::dispatch::mainQueue().async([completion = std::move(completion), result] {
    if (completion) completion(result);
  });
}

void UnlockCoordinator::succeed(const UUID& sessionID) {
  platform::dispatch::mainQueue().async([self = shared_from_this(), id = sessionID] {
    if (!self->session_.contains(id) || !self->isActive() || !LockMonitor::isScreenActuallyLocked()) {
      return;
    }
    {
      std::lock_guard<std::mutex> guard(self->state_);
      self->active_ = false;
      self->succeeded_ = true;
    }
    self->camera_->stop();
    LockScreenOverlay::shared().showSuccess();
    // The UUID stays current until the screen unlocks or sleeps or a new attempt begins, so
    // that this completion can still recognise its attempt.
    Unlocker::unlock([self, id](Unlocker::Result result) {
      if (!self->session_.contains(id)) return;
      if (result.succeeded()) {
        Log::unlock().info("Unlocked by face");
        return;
      }
      if (*result.failure == Unlocker::Failure::cancelled) return;
      const std::string text(rawValue(*result.failure));
      Log::unlock().error("Unlock failed: %s", text);
      {
        std::lock_guard<std::mutex> guard(self->state_);
        self->succeeded_ = false;
      }
      LockScreenOverlay::shared().showFailure(text);
    });
  });
}

void UnlockCoordinator::finishLater(const UUID& sessionID, std::optional<std::string> message,
                                    bool cancelled) {
  platform::dispatch::mainQueue().async(
      [self = shared_from_this(), id = sessionID, message = std::move(message), cancelled] {
        self->finish(message, cancelled, id);
      });
}

}  // namespace quorvel
