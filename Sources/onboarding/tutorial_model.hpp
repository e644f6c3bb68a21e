// The state behind the first-run tutorial: the current step, what is already granted or
// saved, the password being typed, which steps may be left and which are skipped, the two
// permission requests with their once-a-second polls, the password save and the enrolment
// scan on the face step. Main thread only; every callback and timer holds the model weakly,
// so the model is always owned by a shared pointer (`make()`).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "onboarding/enrolment_model.hpp"
#include "platform/animation/animation.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "platform/geometry/geometry.hpp"

namespace quorvel {

enum class TutorialStep : int {
  welcome = 0,
  camera = 1,
  face = 2,
  password = 3,
  accessibility = 4,
  palm = 5,
  ready = 6,
};

namespace tutorial_step {
// Every step in order.
inline constexpr TutorialStep allCases[] = {
    TutorialStep::welcome,       TutorialStep::camera, TutorialStep::face,
    TutorialStep::password,      TutorialStep::accessibility, TutorialStep::palm,
    TutorialStep::ready,
};
int rawValue(TutorialStep step);
// No step outside 0...6.
std::optional<TutorialStep> fromRawValue(int rawValue);
const char* title(TutorialStep step);
// The panel content's size for the step (the window is 28 points wider).
platform::Size size(TutorialStep step);
}  // namespace tutorial_step

class TutorialModel final : public platform::animation::ObservableObject,
                            public std::enable_shared_from_this<TutorialModel> {
  struct Token {};

 public:
  template <class T>
  using Published = platform::animation::Published<T>;

  static constexpr double pollInterval = 1.0;
  static constexpr double faceAdvanceDelay = 0.8;
  static constexpr double stepResponse = 0.42;
  static constexpr double stepDamping = 0.82;

  static constexpr const char* cameraSettingsAddress =
      "x-apple.systempreferences:com.apple.preference.security?Privacy_Camera";
  static constexpr const char* passwordSaveFailedText =
      "Quorvel could not access your login Keychain. Allow the macOS Keychain prompt, then "
      "press Save again.";
  static constexpr const char* cameraBlockedText = "Allow the camera to continue";
  static constexpr const char* faceBlockedText = "Finish the scan to continue";
  static constexpr const char* passwordBlockedText = "Save your password to continue";
  static constexpr const char* accessibilityBlockedText = "Grant permission to continue";

  // A model at `welcome` with its flags read from the live system state.
  static std::shared_ptr<TutorialModel> make();
  explicit TutorialModel(Token);
  ~TutorialModel() override;

  Published<TutorialStep> step{this, "step", TutorialStep::welcome};
  Published<bool> cameraGranted;
  Published<bool> accessibilityGranted;
  Published<std::string> password{this, "password", ""};
  Published<std::optional<std::string>> passwordSaveError{this, "passwordSaveError",
                                                          std::nullopt};
  Published<bool> passwordSaved;
  Published<bool> faceEnrolled;

  const std::shared_ptr<EnrolmentModel>& enrolment() const { return enrolment_; }
  // The running (or last) permission poll, if one was started.
  const std::shared_ptr<platform::dispatch::Timer>& permissionTimer() const {
    return permissionTimer_;
  }

  std::function<void()> onFinish;
  std::function<void(platform::Size)> onResize;

  bool canAdvance() const;
  std::optional<std::string> blockedReason() const;
  // The camera may only be allowed in System Settings (restricted or denied).
  static bool cameraNeedsSettings();

  void go(TutorialStep target);
  void next();
  void back();
  void finish();
  void requestCamera();
  void savePassword();
  void requestAccessibility();

  // The face step saw the scan finish: marks the face enrolled and moves on 0.8 s later
  // (the delayed step keeps the model alive until then), unless the step has changed
  // meanwhile (the user pressed Next or Back first).
  void scanFinished();

  // Announces a change without changing a field, so that observers redraw.
  void announceChange();

 private:
  void startPoll(std::function<bool()> granted, std::function<void(TutorialModel&)> onGranted);

  std::shared_ptr<EnrolmentModel> enrolment_;
  std::optional<platform::animation::ObservableObject::Token> enrolmentObserver_;
  std::shared_ptr<platform::dispatch::Timer> permissionTimer_;
  // Counts step changes, so a delayed step can tell that its step is no longer shown.
  std::uint64_t stepChanges_ = 0;
  // Bumped to announce a change that no published field carries.
  Published<std::int64_t> revision_{this, "objectWillChange", 0};
};

}  // namespace quorvel
