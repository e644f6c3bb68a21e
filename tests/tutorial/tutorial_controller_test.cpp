// The tutorial window on the simulated machine in virtual time: the first-run presentation,
// the window's place and attributes, the animated resizes, the jump on a display change and
// the close back into the camera housing, with what each delayed step holds.
#include "onboarding/tutorial_controller.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "foundation/settings.hpp"
#include "platform/animation/animation.hpp"
#include "platform/capture/capture.hpp"
#include "support/platform_fixture.hpp"
#include "support/recognition_input_hooks.hpp"
#include "support/simulated_lock_machine.hpp"
#include "support/simulated_display.hpp"
#include "support/ui_updater_hooks.hpp"

namespace quorvel::testing {
namespace {

using platform::Rect;
using platform::capture::AuthorizationStatus;

void expectFrame(const Rect& actual, double x, double y, double w, double h) {
  EXPECT_NEAR(actual.minX(), x, 1e-9);
  EXPECT_NEAR(actual.minY(), y, 1e-9);
  EXPECT_NEAR(actual.width(), w, 1e-9);
  EXPECT_NEAR(actual.height(), h, 1e-9);
}

class TutorialControllerTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    simulatedCamera().setAuthorizationStatus(AuthorizationStatus::notDetermined);
    lockMachine().accessibility().setTrusted(false);
    controller = std::make_shared<TutorialController>();
  }
  void TearDown() override {
    controller.reset();
    PlatformTest::TearDown();
  }

  // Presents the tutorial and lets its first step settle.
  void present() {
    controller->present();
    advance(0.01);
  }

  std::shared_ptr<TutorialController> controller;
};

TEST_F(TutorialControllerTest, TheFirstRunShowsTheWelcomePanelAfterADelay) {
  controller->presentIfFirstRun();
  advance(0.59);
  EXPECT_FALSE(controller->isShowing());
  advance(0.02);
  ASSERT_TRUE(controller->isShowing());
  ASSERT_TRUE(controller->model());
  EXPECT_EQ(controller->model()->step.value(), TutorialStep::welcome);
  // 328 x 176, centred on the 1512-point built-in screen, its top at the screen's top.
  expectFrame(controller->window()->frame(), 756 - 164, 982 - 176, 328, 176);
  EXPECT_EQ(simulatedApplication().activations(),
            std::vector<std::string>{"activate ignoringOtherApps=true"});
  const auto& window = *controller->window();
  EXPECT_TRUE(window.isVisible());
  EXPECT_TRUE(window.isKeyWindow());
  // A borderless transparent panel above the status bar.
  EXPECT_TRUE(window.canBecomeKeyWindow());
  EXPECT_EQ(window.styleMask(), platform::windows::style_mask::borderless);
  EXPECT_FALSE(window.isOpaque);
  EXPECT_EQ(window.backgroundColor, platform::windows::Color::clear());
  EXPECT_FALSE(window.hasShadow);
  EXPECT_EQ(window.level, 26);
  EXPECT_EQ(window.collectionBehavior, 257u);

  // Finishing marks it seen; a later launch shows nothing.
  controller->model()->go(TutorialStep::ready);
  controller->model()->next();
  EXPECT_TRUE(Settings::shared().hasSeenWelcome());
  advance(1);
  EXPECT_FALSE(controller->isShowing());
  auto later = std::make_shared<TutorialController>();
  later->presentIfFirstRun();
  advance(2);
  EXPECT_FALSE(later->isShowing());
}

TEST_F(TutorialControllerTest, OpeningAtTheFaceStepSizesForItAndAShowAgainDoesNotResetIt) {
  controller->present(TutorialStep::face);
  expectFrame(controller->window()->frame(), 756 - 184, 982 - 400, 368, 400);
  auto model = controller->model();
  EXPECT_EQ(model->step.value(), TutorialStep::welcome);
  advance(0.01);
  EXPECT_EQ(model->step.value(), TutorialStep::face);
  EXPECT_TRUE(model->enrolment()->isRunning());
  advance(1);
  // The resize to the face step's own size changes nothing.
  expectFrame(controller->window()->frame(), 756 - 184, 982 - 400, 368, 400);

  // A second show brings the tutorial forward where it is; one at a step goes there.
  model->go(TutorialStep::password);
  controller->present();
  EXPECT_EQ(controller->model(), model);
  EXPECT_EQ(model->step.value(), TutorialStep::password);
  EXPECT_EQ(simulatedApplication().activations().size(), 2u);
  EXPECT_EQ(machine().windows->windowNumbers().size(), 1u);
  controller->present(TutorialStep::face);
  EXPECT_EQ(model->step.value(), TutorialStep::face);
  EXPECT_TRUE(model->enrolment()->isRunning());
}

TEST_F(TutorialControllerTest, StepChangesResizeAlongTheCurve) {
  present();
  controller->model()->next();  // to camera: 320 x 196
  ASSERT_TRUE(controller->frameAnimation());
  EXPECT_DOUBLE_EQ(controller->frameAnimation()->duration(), 0.42);
  advance(0.1);
  const auto early = controller->window()->frame();
  EXPECT_GT(early.width(), 328);
  EXPECT_LT(early.width(), 348);
  // The curve (0.22, 1, 0.36, 1) front-loads the motion: well past half way at a quarter.
  const double x = 0.1 / 0.42;
  EXPECT_GT(early.width() - 328, 20 * platform::animation::solveTimingCurve(0.22, 1, 0.36, 1, x - 0.05));
  advance(0.35);
  expectFrame(controller->window()->frame(), 756 - 174, 982 - 196, 348, 196);
  EXPECT_FALSE(controller->frameAnimation()->isRunning());
}

TEST_F(TutorialControllerTest, NoScreenShowsNothing) {
  useNoScreen();
  controller->present();
  EXPECT_FALSE(controller->isShowing());
  EXPECT_FALSE(controller->model());
}

TEST_F(TutorialControllerTest, ADisplayChangeMovesTheWindowAtOnce) {
  auto shared = TutorialController::sharedPointer();
  shared->present();
  advance(0.01);
  useExternalScreenOnly();
  machine().windows->clearEvents();
  machine().screens->postParametersChanged();
  advance(0.01);
  // 1920 x 1080 to the right of the built-in screen.
  const Rect external = externalScreen().frame;
  expectFrame(shared->window()->frame(), external.midX() - 164, external.maxY() - 176, 328, 176);
  ASSERT_EQ(machine().windows->events().size(), 1u) << "one jump, not an animation";
  EXPECT_NE(machine().windows->events()[0].find("display=true"), std::string::npos);
  // Back to the built-in screen even when another one is the main screen.
  useBuiltInAndExternalScreens();
  machine().screens->postParametersChanged();
  advance(0.01);
  expectFrame(shared->window()->frame(), 756 - 164, 982 - 176, 328, 176);
}

TEST_F(TutorialControllerTest, ClosingShrinksIntoTheHousingThenRemovesTheWindow) {
  present();
  const auto number = controller->window()->windowNumber();
  controller->model()->go(TutorialStep::ready);
  advance(1);
  controller->model()->next();
  EXPECT_DOUBLE_EQ(controller->frameAnimation()->duration(), 0.28);
  advance(0.29);
  // The housing is 188 x 32: the frame is 28 wider.
  expectFrame(controller->window()->frame(), 756 - 108, 982 - 32, 216, 32);
  EXPECT_TRUE(controller->isShowing());
  advance(0.02);
  EXPECT_TRUE(controller->isShowing()) << "closed 0.32 s after the finish";
  advance(0.02);
  EXPECT_FALSE(controller->isShowing());
  EXPECT_FALSE(controller->model());
  EXPECT_EQ(machine().windows->panel(number), nullptr);
}

TEST_F(TutorialControllerTest, TheCloseHoldsTheWindowButNotTheController) {
  present();
  std::weak_ptr<TutorialWindow> window = controller->window();
  const auto number = controller->window()->windowNumber();
  controller->dismiss();
  std::weak_ptr<TutorialController> weak = controller;
  controller.reset();
  EXPECT_TRUE(weak.expired());
  ASSERT_FALSE(window.expired()) << "the delayed close keeps the window";
  EXPECT_FALSE(window.lock()->isOrderedOut());
  advance(0.33);
  EXPECT_TRUE(window.expired());
  EXPECT_EQ(machine().windows->panel(number), nullptr);
}

TEST_F(TutorialControllerTest, AShowDuringTheCloseOnlyBringsTheClosingWindowForward) {
  present();
  controller->dismiss();
  advance(0.1);
  controller->present();
  EXPECT_EQ(machine().windows->windowNumbers().size(), 1u);
  advance(0.3);
  EXPECT_FALSE(controller->isShowing());
  // A second close of the same window leaves a newer tutorial alone.
  present();
  controller->dismiss();
  controller->dismiss();
  advance(0.33);
  EXPECT_FALSE(controller->isShowing());
  controller->present();
  EXPECT_TRUE(controller->isShowing());
  advance(1);
  EXPECT_TRUE(controller->isShowing());
}

TEST_F(TutorialControllerTest, TheFirstRunDelayAndTheResizeCallbackHoldTheControllerWeakly) {
  std::weak_ptr<TutorialController> weak = controller;
  controller->presentIfFirstRun();
  controller.reset();
  EXPECT_TRUE(weak.expired());
  advance(1);
  EXPECT_TRUE(machine().windows->windowNumbers().empty());

  controller = std::make_shared<TutorialController>();
  present();
  auto model = controller->model();
  controller.reset();
  model->next();  // must not reach a controller that is gone
  advance(1);
  EXPECT_EQ(model->step.value(), TutorialStep::camera);
  model->go(TutorialStep::ready);
  model->finish();
  advance(1);
  EXPECT_TRUE(Settings::shared().hasSeenWelcome());
}

}  // namespace
}  // namespace quorvel::testing
