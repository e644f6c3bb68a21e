// The state machine behind the notch panel drawn above the lock screen while an unlock
// attempt runs. It owns every value the panel view draws and turns the stages of an attempt
// (scanning, then success, failure or palm cancel) into timed sequences of value changes,
// each made inside an animation transaction that carries its curve. Main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/animation/animation.hpp"

namespace quorvel {

class UnlockAnimationModel : public platform::animation::ObservableObject,
                             public std::enable_shared_from_this<UnlockAnimationModel> {
 public:
  enum class Glyph { face, palm };
  using Completion = std::function<void()>;
  template <class T>
  using Published = platform::animation::Published<T>;

  // The system's reduce-motion setting now (the initialiser's default argument).
  static bool systemReduceMotion();

  // Scheduled steps hold the model weakly, so it is always owned by a shared pointer.
  static std::shared_ptr<UnlockAnimationModel> make(bool reduceMotion = systemReduceMotion());
  explicit UnlockAnimationModel(bool reduceMotion);

  Published<double> panelProgress{this, "panelProgress", 0};
  Published<bool> contentVisible{this, "contentVisible", false};
  Published<double> illumination{this, "illumination", 0};
  Published<double> sweep{this, "sweep", 0};
  Published<double> sweepOpacity{this, "sweepOpacity", 1};
  Published<double> faceOpacity{this, "faceOpacity", 0};
  Published<double> faceScale{this, "faceScale", 0.94};
  Published<double> faceTurn{this, "faceTurn", 0};
  Published<double> glance{this, "glance", 0};
  Published<double> tickProgress{this, "tickProgress", 0};
  Published<double> bloom{this, "bloom", 0};
  Published<Glyph> glyph{this, "glyph", Glyph::face};
  Published<bool> drained{this, "drained", false};
  Published<double> shake{this, "shake", 0};
  Published<std::optional<std::string>> message{this, "message", std::nullopt};

  bool reduceMotion() const { return reduceMotion_; }

  void begin();
  void resetToIdle();
  void succeed(Completion completion);
  void confirmedUnlocked();
  void fail(const std::string& message, Completion completion);
  void cancel(const std::string& message, Completion completion);

 private:
  enum class Phase { idle, scanning, success, failure };

  void schedule(double delay, std::function<void()> action);
  void retract(double delay, Completion completion);
  void retractIfPending();
  void startScanning();
  void startGlancing();
  void run(std::size_t index, double start);

  bool reduceMotion_;
  Phase phase_ = Phase::idle;
  std::int64_t generation_ = 0;
  // The kept completion of a success; a kept empty callback still counts as pending, so the
  // retract still runs.
  std::optional<Completion> pendingCompletion_;
};

}  // namespace quorvel
