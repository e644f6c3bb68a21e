// The tutorial's panel and step bodies: what is drawn where for each step and state, what
// the buttons do, the step animations in virtual time, and renderings written to the test
// output folder for a person to look at, with a few pixels checked.
#include "onboarding/tutorial_view.hpp"

#include <algorithm>
#include <memory>
#include <optional>
#include <string>

#include "foundation/password_vault.hpp"
#include "platform/capture/capture.hpp"
#include "platform/keychain/keychain.hpp"
#include "support/A_images.hpp"
#include "support/platform_fixture.hpp"
#include "support/recognition_input_hooks.hpp"
#include "support/simulated_lock_machine.hpp"
#include "support/storage_hooks.hpp"
#include "support/tutorial_hooks.hpp"

namespace quorvel::testing {
namespace {

using platform::Rect;
using platform::capture::AuthorizationStatus;
using Kind = TutorialView::Element::Kind;
using Step = TutorialStep;

class TutorialViewTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    simulatedCamera().setAuthorizationStatus(AuthorizationStatus::notDetermined);
    lockMachine().accessibility().setTrusted(false);
    model = TutorialModel::make();
    model->onFinish = [this] { ++finishes; };
    view = std::make_unique<TutorialView>(model);
  }
  void TearDown() override {
    view.reset();
    model.reset();
    PlatformTest::TearDown();
  }

  Rect bounds() const {
    const auto size = TutorialView::windowSize(model->step);
    return Rect(0, 0, size.width, size.height);
  }
  TutorialView::Structure structure() const { return view->structure(bounds()); }
  // Jumps to a step and lets its change settle.
  void show(Step step) {
    model->go(step);
    advance(1.5);
  }
  bool clickAt(const Rect& frame) { return view->click(bounds(), {frame.midX(), frame.midY()}); }

  // The first body element of a kind as the view lays it out now (a copy).
  std::optional<TutorialView::Element> element(Kind kind) const {
    for (const auto& e : structure().body) {
      if (e.kind == kind) return e;
    }
    return std::nullopt;
  }
  std::string textOf(Kind kind) const {
    const auto e = element(kind);
    return e ? e->text : "(none)";
  }

  QImage renderAndSave(const std::string& name) {
    const QImage image = view->render(TutorialView::windowSize(model->step), 2);
    savePng(image, name);
    return image;
  }

  std::shared_ptr<TutorialModel> model;
  std::unique_ptr<TutorialView> view;
  int finishes = 0;
};

TEST_F(TutorialViewTest, TheWelcomeFillsTheStepSizeWithTheControlsAlongTheBottom) {
  const auto s = structure();
  EXPECT_EQ(s.panelSize, (platform::Size{300, 176}));
  EXPECT_EQ(s.bounds.width(), 328);
  ASSERT_EQ(s.titles.size(), 1u);
  EXPECT_EQ(s.titles[0].text, "Quorvel");
  EXPECT_NEAR(s.titles[0].frame.minY(), 14, 1e-9);
  EXPECT_NEAR(s.titles[0].frame.midX(), 164, 1e-9);
  EXPECT_NEAR(s.back.frame.minX(), 34, 1e-9);
  EXPECT_NEAR(s.next.frame.maxX(), 328 - 34, 1e-9);
  EXPECT_NEAR(s.next.frame.maxY(), 176 - 12, 1e-9);
  EXPECT_NEAR(s.back.frame.maxY(), 176 - 12, 1e-9);
  ASSERT_EQ(s.dots.size(), 7u);
  EXPECT_EQ(std::count_if(s.dots.begin(), s.dots.end(), [](auto& d) { return d.current; }), 1);
  EXPECT_TRUE(s.dots[0].current);
  for (std::size_t i = 1; i < s.dots.size(); ++i) {
    EXPECT_NEAR(s.dots[i].frame.minX() - s.dots[i - 1].frame.maxX(), 5, 1e-9);
    EXPECT_EQ(s.dots[i].frame.width(), 5);
  }
  EXPECT_NEAR((s.dots.front().frame.minX() + s.dots.back().frame.maxX()) / 2,
              (s.back.frame.maxX() + s.next.frame.minX()) / 2, 1e-9);
  // The body starts under the header, inside the side insets, above the controls.
  ASSERT_FALSE(s.body.empty());
  EXPECT_GE(s.body.front().frame.minY(), s.titles[0].frame.maxY() + 12 - 1e-9);
  for (const auto& e : s.body) {
    EXPECT_GE(e.frame.minX(), 34 - 1e-9);
    EXPECT_LE(e.frame.maxX(), 328 - 34 + 1e-9);
    EXPECT_LE(e.frame.maxY(), s.back.frame.minY());
  }

  const QImage image = renderAndSave("tutorial_welcome.png");
  ASSERT_EQ(image.width(), 656);
  ASSERT_EQ(image.height(), 352);
  // Black in the body, transparent outside the rounded bottom corners and inside the fillets'
  // curves, the fillets reaching the full width along the top edge.
  EXPECT_EQ(image.pixelColor(328, 200), QColor(0, 0, 0, 255));
  EXPECT_EQ(image.pixelColor(653, 350).alpha(), 0);
  EXPECT_EQ(image.pixelColor(30, 0).alpha(), 255);
  EXPECT_EQ(image.pixelColor(8, 8).alpha(), 0);
  // The current dot is green.
  const auto dot = s.dots[0].frame;
  EXPECT_TRUE(isGreenHue(image.pixelColor(static_cast<int>(dot.midX() * 2), static_cast<int>(dot.midY() * 2))));

  // The welcome has a dimmed Back and a green Next.
  EXPECT_FALSE(s.back.enabled);
  EXPECT_DOUBLE_EQ(s.back.opacity, 0.2);
  EXPECT_TRUE(s.next.enabled);
  EXPECT_TRUE(s.next.green);
  EXPECT_EQ(s.next.label, "Next");
  EXPECT_FALSE(s.hint);
  ASSERT_EQ(s.body.size(), 2u);
  EXPECT_EQ(s.body[0].kind, Kind::faceGlyph);
  EXPECT_EQ(s.body[0].frame.width(), 46);
  EXPECT_EQ(s.body[1].text, "Look at your Mac and it unlocks. Four quick steps.");
  EXPECT_FALSE(clickAt(s.back.frame));
  EXPECT_EQ(model->step.value(), Step::welcome);
  EXPECT_TRUE(clickAt(s.next.frame));
  EXPECT_EQ(model->step.value(), Step::camera);
  advance(1.5);
  EXPECT_DOUBLE_EQ(structure().back.opacity, 0.55);
}

TEST_F(TutorialViewTest, TheWelcomeSweepRunsForeverAndReplaysWhenShownAgain) {
  const auto offset = [&] { return element(Kind::faceGlyph)->sweepOffset; };
  EXPECT_NEAR(offset(), -30, 1e-9);
  advance(0.7);
  EXPECT_NEAR(offset(), 0, 1.0);
  advance(0.69);
  EXPECT_GT(offset(), 29);
  advance(0.02);  // the next pass starts from the top again
  EXPECT_LT(offset(), -29);
  show(Step::camera);
  model->go(Step::welcome);
  EXPECT_NEAR(offset(), -30, 1e-9);
}

TEST_F(TutorialViewTest, ACameraStepBeforeAccessIsBlocked) {
  simulatedCamera().setAccessAnswer(true);
  show(Step::camera);
  auto s = structure();
  EXPECT_FALSE(s.next.enabled);
  EXPECT_FALSE(s.next.green);
  EXPECT_DOUBLE_EQ(s.next.opacity, 0.22);
  ASSERT_TRUE(s.hint);
  EXPECT_EQ(s.hint->text, "Allow the camera to continue");
  EXPECT_DOUBLE_EQ(s.hint->opacity, 0.35);
  EXPECT_LE(s.hint->frame.maxY() + 12, s.next.frame.minY() + 1e-9);
  EXPECT_EQ(s.body[0].text,
            "Quorvel needs the built-in camera to recognise you. Nothing it sees ever leaves "
            "this Mac.");
  EXPECT_EQ(textOf(Kind::greenButton), "Allow camera");
  renderAndSave("tutorial_camera_blocked.png");
  EXPECT_FALSE(clickAt(s.next.frame));
  EXPECT_EQ(model->step.value(), Step::camera);

  // Pressing the button asks; with access granted the row shows the tick.
  EXPECT_TRUE(clickAt(element(Kind::greenButton)->frame));
  EXPECT_EQ(simulatedCamera().accessRequests(), 1);
  advance(0.01);
  model->go(Step::camera);
  EXPECT_EQ(textOf(Kind::granted), "Camera allowed");
  EXPECT_FALSE(element(Kind::greenButton));
  EXPECT_FALSE(structure().hint);
  EXPECT_TRUE(structure().next.green);
  advance(1.5);
  renderAndSave("tutorial_camera_allowed.png");

  // Switched off: the step offers System Settings instead of asking.
  simulatedCamera().setAuthorizationStatus(AuthorizationStatus::denied);
  model->cameraGranted = false;
  model->go(Step::welcome);
  show(Step::camera);
  EXPECT_EQ(structure().body[0].text,
            "Camera access is switched off for Quorvel. Turn it on in System Settings \u2014 "
            "this will notice when you do.");
  EXPECT_EQ(textOf(Kind::greenButton), "Open System Settings");
  renderAndSave("tutorial_camera_denied.png");
  EXPECT_TRUE(clickAt(element(Kind::greenButton)->frame));
  EXPECT_EQ(simulatedURLOpener().opened().size(), 1u);
  EXPECT_EQ(simulatedCamera().accessRequests(), 1);
}

TEST_F(TutorialViewTest, PasswordStepMasksTheTextAndShowsAFailedSaveAndAccessibilityPrompts) {
  show(Step::password);
  auto field = element(Kind::secureField);
  ASSERT_TRUE(field);
  EXPECT_TRUE(field->placeholder);
  EXPECT_EQ(field->text, "Login password");
  EXPECT_EQ(field->frame.width(), structure().bounds.width() - 68);
  view->typePassword("s\u00e9cret");
  simulatedKeychain().refuseWrites(platform::keychain::errSecAuthFailed);
  EXPECT_EQ(textOf(Kind::greenButton), "Save");
  EXPECT_TRUE(clickAt(element(Kind::greenButton)->frame));
  field = element(Kind::secureField);
  EXPECT_FALSE(field->placeholder);
  EXPECT_EQ(field->text, "\u2022\u2022\u2022\u2022\u2022\u2022") << "one dot per character";
  const auto error = element(Kind::errorText);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->text, *model->passwordSaveError.value());
  EXPECT_GT(error->frame.height(), 15) << "the error wraps onto more lines";
  EXPECT_GE(error->frame.minY(), element(Kind::greenButton)->frame.maxY());
  renderAndSave("tutorial_password_error.png");

  // Return saves; the tutorial moves on by itself.
  simulatedKeychain().clearFaults();
  view->submitPassword();
  EXPECT_EQ(PasswordVault::read(), std::optional<std::string>("s\u00e9cret"));
  EXPECT_EQ(model->step.value(), Step::accessibility);
  model->go(Step::password);
  EXPECT_EQ(textOf(Kind::granted), "Password saved");
  EXPECT_TRUE(element(Kind::secureField)->placeholder);

  // The next step prompts from its button.
  show(Step::accessibility);
  EXPECT_EQ(structure().hint->text, "Grant permission to continue");
  EXPECT_EQ(textOf(Kind::greenButton), "Open System Settings");
  renderAndSave("tutorial_accessibility.png");
  const auto prompts = lockMachine().accessibility().promptCount();
  EXPECT_TRUE(clickAt(element(Kind::greenButton)->frame));
  EXPECT_EQ(lockMachine().accessibility().promptCount(), prompts + 1);
  model->accessibilityGranted = true;
  EXPECT_EQ(textOf(Kind::granted), "Permission granted");
}

// Only a scan that finishes while the face step is shown moves the tutorial on.
TEST_F(TutorialViewTest, AFinishedScanReadsGotItAndOnlyAScanFinishedOnTheFaceStepMovesOn) {
  model->enrolment()->finished = true;  // not on the face step
  EXPECT_FALSE(model->faceEnrolled);
  show(Step::face);  // a new scan starts from nothing
  EXPECT_EQ(model->step.value(), Step::face);
  EXPECT_EQ(element(Kind::scan)->frame.width(), FaceScanView::frameSide(118));
  EXPECT_EQ(textOf(Kind::caption), EnrolmentModel::lookStraightText);
  EXPECT_EQ(structure().hint->text, "Finish the scan to continue");
  renderAndSave("tutorial_face.png");
  model->enrolment()->instruction = std::string(EnrolmentModel::doneText);
  model->enrolment()->finished = true;
  EXPECT_TRUE(model->faceEnrolled);
  EXPECT_EQ(textOf(Kind::caption), "Got it.");
  EXPECT_FALSE(structure().hint);
  // A redundant announcement of an already finished scan is no change either.
  model->faceEnrolled = false;
  model->enrolment()->finished = true;
  EXPECT_FALSE(model->faceEnrolled);
}

TEST_F(TutorialViewTest, ThePalmGrowsIntoPlaceAndTheTickDrawsOn) {
  show(Step::palm);
  model->go(Step::palm);  // shown afresh
  auto hand = element(Kind::hand);
  ASSERT_TRUE(hand);
  EXPECT_NEAR(hand->scale, 0.82, 1e-9);
  EXPECT_NEAR(hand->opacity, 0.35, 1e-9);
  advance(2);
  hand = element(Kind::hand);
  EXPECT_NEAR(hand->scale, 1, 1e-3);
  EXPECT_NEAR(hand->opacity, 1, 1e-3);
  auto s = structure();
  ASSERT_EQ(s.body.size(), 3u);
  EXPECT_DOUBLE_EQ(s.body[2].opacity, 0.75);
  EXPECT_EQ(s.body[2].text, "You can turn this off from the menu bar icon at any time.");
  EXPECT_GT(s.body[1].frame.height(), 3 * 14) << "the long caption wraps, never truncated";
  renderAndSave("tutorial_palm.png");

  model->go(Step::ready);
  EXPECT_NEAR(element(Kind::tick)->drawn, 0, 1e-9);
  advance(0.2);
  const double half = element(Kind::tick)->drawn;
  EXPECT_GT(half, 0.5);  // ease-out: more than half way at half time
  EXPECT_LT(half, 1);
  advance(0.3);
  EXPECT_NEAR(element(Kind::tick)->drawn, 1, 1e-9);
}

TEST_F(TutorialViewTest, ReadyReadsDoneAndCloses) {
  show(Step::ready);
  const auto s = structure();
  EXPECT_EQ(s.next.label, "Done");
  EXPECT_TRUE(s.next.green);
  EXPECT_TRUE(s.dots[6].current);
  EXPECT_EQ(s.body[1].text,
            "Lock your Mac and look at it. Everything else lives in the menu bar icon.");
  renderAndSave("tutorial_ready.png");
  EXPECT_TRUE(clickAt(s.next.frame));
  EXPECT_EQ(finishes, 1);
}

// One step change: the title cross-fades, and the blocked hint fades in with it and out with
// the next.
TEST_F(TutorialViewTest, TheTitleCrossFadesAndTheBlockedHintFadesInAndOutWithTheChange) {
  model->go(Step::camera);
  advance(0.05);
  auto s = structure();
  ASSERT_EQ(s.titles.size(), 2u);
  EXPECT_EQ(s.titles[0].text, "Quorvel");
  EXPECT_EQ(s.titles[1].text, "Let it see");
  EXPECT_NEAR(s.titles[0].opacity + s.titles[1].opacity, 1, 1e-9);
  EXPECT_GT(s.titles[1].opacity, 0);
  ASSERT_TRUE(s.hint);
  EXPECT_GT(s.hint->opacity, 0);
  EXPECT_LT(s.hint->opacity, 0.3);
  advance(1.5);
  s = structure();
  ASSERT_EQ(s.titles.size(), 1u);
  EXPECT_EQ(s.titles[0].text, "Let it see");
  EXPECT_NEAR(s.hint->opacity, 0.35, 1e-9);
  model->go(Step::welcome);
  advance(0.05);
  s = structure();
  EXPECT_FALSE(s.hint);
  ASSERT_TRUE(s.leavingHint);
  EXPECT_EQ(s.leavingHint->text, "Allow the camera to continue");
  EXPECT_GT(s.leavingHint->opacity, 0.05);
  advance(1.5);
  EXPECT_FALSE(structure().leavingHint);
}

}  // namespace
}  // namespace quorvel::testing
