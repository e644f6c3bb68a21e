// The tutorial window's content: a black notch-shaped panel holding the current step's
// title, its body, a hint why the step cannot be left yet, and a row of controls (Back, one
// dot per step, Next or Done). It reads the tutorial model and calls only its operations.
//
// The view keeps the only state of its own the steps have: when the current step's body was
// shown, which times the welcome sweep, the raised hand and the drawn tick, so that they
// replay whenever their step is shown again. `structure()` says what is drawn where (y down);
// `click()` presses what lies under a point; hosts forward typing and Return to the
// password field.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "onboarding/face_scan_view.hpp"
#include "onboarding/tutorial_model.hpp"
#include "platform/geometry/geometry.hpp"
#include "platform/windows/windows.hpp"

class QImage;
class QPainter;

namespace quorvel {

class TutorialView : public platform::windows::View {
 public:
  // The window is this much wider than the step's panel.
  static constexpr double windowExtraWidth = 28;
  static constexpr double fillet = 14;
  static constexpr double bottomRadius = 26;
  static constexpr double scanDiameter = 118;
  static constexpr double faceAdvanceDelay = TutorialModel::faceAdvanceDelay;

  explicit TutorialView(std::shared_ptr<TutorialModel> model);
  ~TutorialView() override;
  TutorialView(const TutorialView&) = delete;
  TutorialView& operator=(const TutorialView&) = delete;

  const std::shared_ptr<TutorialModel>& model() const { return model_; }

  // Called whenever the model or the scan announces a change (the host redraws).
  std::function<void()> onNeedsDisplay;

  // One drawn piece of a step's body.
  struct Element {
    enum class Kind {
      caption,      // white text at 0.62, wrapped, centred
      greenButton,  // black text on a green capsule
      granted,      // green tick and green label
      faceGlyph,    // the welcome's swept face glyph
      hand,         // the raised-hand symbol
      tick,         // the ready step's drawn tick
      secureField,  // the masked password field
      errorText,    // orange text, wrapped
      scan,         // the enrolment scan view
    };
    Kind kind = Kind::caption;
    std::string text;  // the label, caption or field text as shown (masked for the field)
    platform::Rect frame;
    double opacity = 1;
    double fontSize = 12;
    // faceGlyph: the band's vertical offset (-30 up ... 30 down).
    double sweepOffset = 0;
    // hand: its scale about the centre.
    double scale = 1;
    // tick: the drawn fraction of the path.
    double drawn = 1;
    // secureField: whether the placeholder shows instead of the masked text.
    bool placeholder = false;
  };

  struct Control {
    std::string label;
    platform::Rect frame;
    bool enabled = true;
    bool green = false;   // quorvelGreen, else white
    double opacity = 1;   // of its colour
  };

  struct Dot {
    platform::Rect frame;
    bool current = false;  // green, else white at 0.22
  };

  struct Title {
    std::string text;
    platform::Rect frame;
    double opacity = 1;
  };

  struct Structure {
    platform::Rect bounds;
    platform::Size panelSize;  // the body of the panel: bounds' width less 28
    TutorialStep step = TutorialStep::welcome;
    // The new title and, while the step change runs, the old one fading out.
    std::vector<Title> titles;
    std::vector<Element> body;
    std::optional<Title> hint;
    // A hint fading out (the step can now be left, or another hint takes its place).
    std::optional<Title> leavingHint;
    Control back;
    Control next;
    std::vector<Dot> dots;
  };

  Structure structure(const platform::Rect& bounds, double time) const;
  Structure structure(const platform::Rect& bounds) const;

  void draw(QPainter& painter, const platform::Rect& bounds) override;
  // The tutorial window's clicks, and its typing into the password field.
  bool mouseDown(platform::Point point, const platform::Rect& bounds) override {
    return click(bounds, point);
  }
  bool keyDown(const platform::windows::KeyPress& key, const platform::Rect& bounds) override;
  // The view drawn into a transparent image of `canvas` points at `scale`.
  QImage render(platform::Size canvas, double scale);
  // The canvas of the window for a step: its panel size plus 28 in width.
  static platform::Size windowSize(TutorialStep step);

  // Presses what lies at `point` in `bounds` (buttons, Back, Next/Done); false when nothing
  // enabled is there.
  bool click(const platform::Rect& bounds, platform::Point point);
  // The password field's editing: the text as typed, and Return.
  void typePassword(const std::string& text);
  void submitPassword();

  // When the current step's body was shown (the animation clock of its flags).
  double stepShownAt() const { return stepShownAt_; }

 private:
  std::vector<Element> body(TutorialStep step, double width, double time) const;
  void pressGreenButton();

  std::shared_ptr<TutorialModel> model_;
  std::shared_ptr<FaceScanView> scanView_;
  platform::animation::ObservableObject::Token modelSubscription_ = 0;
  platform::animation::ObservableObject::Token enrolmentSubscription_ = 0;
  double stepShownAt_ = 0;

  // The blocked hint appears and disappears with an opacity transition, under the animation
  // of the change that made it come or go. Changes are noted as they are announced; the hint
  // they lead to is read when the view is next laid out.
  void noteChange(const platform::animation::Change& change);
  void settleHint() const;
  struct HintTransition {
    std::optional<std::string> from;  // the hint fading out
    std::optional<std::string> to;    // the hint shown now
    std::optional<platform::animation::Animation> animation;
    double at = 0;
  };
  mutable HintTransition hint_;
  mutable bool changePending_ = false;
  mutable std::optional<platform::animation::Animation> pendingAnimation_;
  mutable double pendingAt_ = 0;
};

}  // namespace quorvel
