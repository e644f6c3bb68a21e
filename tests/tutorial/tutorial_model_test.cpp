// The tutorial's state and navigation on the simulated camera, Accessibility, keychain and
// address opener, in virtual time.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/faceprint_store.hpp"
#include "foundation/password_vault.hpp"
#include "foundation/settings.hpp"
#include "onboarding/tutorial_model.hpp"
#include "platform/capture/capture.hpp"
#include "platform/keychain/keychain.hpp"
#include "support/platform_fixture.hpp"
#include "support/recognition_input_hooks.hpp"
#include "support/simulated_lock_machine.hpp"
#include "support/storage_hooks.hpp"
#include "support/tutorial_hooks.hpp"

namespace quorvel::testing {
namespace {

using platform::capture::AuthorizationStatus;
using Step = TutorialStep;

class TutorialModelTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    // A fresh machine: nothing granted, saved or enrolled.
    simulatedCamera().setAuthorizationStatus(AuthorizationStatus::notDetermined);
    lockMachine().accessibility().setTrusted(false);
  }

  void grantEverything() {
    simulatedCamera().setAuthorizationStatus(AuthorizationStatus::authorized);
    lockMachine().accessibility().setTrusted(true);
    ASSERT_TRUE(PasswordVault::set("hunter2"));
    enrolFace();
  }

  void enrolFace() {
    std::vector<std::vector<float>> vectors(25, std::vector<float>(128, 0.1f));
    for (std::size_t i = 0; i < vectors.size(); ++i) vectors[i][i] = 0.5f;
    ASSERT_TRUE(FaceprintStore::shared().replaceEnrolled(vectors, Settings::shared().recognitionEngine()));
  }

  std::shared_ptr<TutorialModel> makeModel() {
    auto model = TutorialModel::make();
    model->onResize = [this](platform::Size size) { resizes.push_back(size); };
    model->onFinish = [this] { ++finishes; };
    return model;
  }

  // Lets go of `model`: nothing keeps it, and what it left pending resizes nothing.
  void expectDroppedModelMovesNothing(std::shared_ptr<TutorialModel> model, double wait) {
    std::weak_ptr<TutorialModel> weak = model;
    resizes.clear();
    model.reset();
    EXPECT_TRUE(weak.expired());
    advance(wait);
    EXPECT_TRUE(resizes.empty());
  }

  std::vector<platform::Size> resizes;
  int finishes = 0;
};

TEST(TutorialStepTest, StepsHaveTheirOrderTitlesAndPanelSizes) {
  struct Row {
    Step step;
    const char* title;
    platform::Size size;
  };
  const Row rows[] = {
      {Step::welcome, "Quorvel", {300, 176}},
      {Step::camera, "Let it see", {320, 196}},
      {Step::face, "Learn your face", {340, 400}},
      {Step::password, "Your password", {340, 310}},
      {Step::accessibility, "One last permission", {340, 250}},
      {Step::palm, "Not right now", {340, 290}},
      {Step::ready, "Ready", {300, 186}},
  };
  ASSERT_EQ(std::size(tutorial_step::allCases), std::size(rows));
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    EXPECT_EQ(tutorial_step::allCases[i], rows[i].step);
    EXPECT_STREQ(tutorial_step::title(rows[i].step), rows[i].title);
    EXPECT_EQ(tutorial_step::size(rows[i].step), rows[i].size) << rows[i].title;
  }
}

TEST_F(TutorialModelTest, EverythingSatisfiedGoesFromWelcomeStraightToPalm) {
  grantEverything();
  auto model = makeModel();
  model->next();
  EXPECT_EQ(model->step.value(), Step::palm);
  EXPECT_EQ(resizes, (std::vector<platform::Size>{{340, 290}}));
  EXPECT_FALSE(model->enrolment()->isRunning());
  model->next();
  EXPECT_EQ(model->step.value(), Step::ready);
  EXPECT_EQ(finishes, 0);
  model->next();
  EXPECT_EQ(finishes, 1);
  EXPECT_TRUE(Settings::shared().hasSeenWelcome());
}

// A fresh model starts at the welcome with nothing running; the flags read from the system
// open or block the steps after it.
TEST_F(TutorialModelTest, BlockedStepsNameTheirReasonAndRefuseNext) {
  auto model = makeModel();
  EXPECT_EQ(model->step.value(), Step::welcome);
  EXPECT_EQ(model->password.value(), "");
  EXPECT_EQ(model->passwordSaveError.value(), std::nullopt);
  EXPECT_EQ(model->permissionTimer(), nullptr);
  ASSERT_NE(model->enrolment(), nullptr);
  EXPECT_FALSE(model->enrolment()->isRunning());
  EXPECT_TRUE(model->canAdvance());
  EXPECT_EQ(model->blockedReason(), std::nullopt);
  const std::pair<Step, const char*> blocked[] = {
      {Step::camera, "Allow the camera to continue"},
      {Step::face, "Finish the scan to continue"},
      {Step::password, "Save your password to continue"},
      {Step::accessibility, "Grant permission to continue"},
  };
  for (const auto& [step, reason] : blocked) {
    model->go(step);
    EXPECT_FALSE(model->canAdvance()) << tutorial_step::title(step);
    EXPECT_EQ(model->blockedReason(), std::optional<std::string>(reason));
    model->next();
    EXPECT_EQ(model->step.value(), step) << "next() left a blocked step";
  }
  for (Step open : {Step::palm, Step::ready}) {
    model->go(open);
    EXPECT_TRUE(model->canAdvance());
    EXPECT_EQ(model->blockedReason(), std::nullopt);
  }
  // Each flag opening its own step is seen where a grant, a save or a scan moves the
  // tutorial on.
}

// Steps change on the spring and resize the panel; the face step starts a fresh scan on every
// entry and stops it on leaving.
TEST_F(TutorialModelTest, BackGoesOneStepAndTheFaceStepScansAfreshOnEveryEntry) {
  auto model = makeModel();
  model->back();
  EXPECT_EQ(model->step.value(), Step::welcome);
  EXPECT_TRUE(resizes.empty());
  model->go(Step::accessibility);
  ASSERT_TRUE(model->step.animation());
  EXPECT_EQ(*model->step.animation(), platform::animation::Animation::spring(0.42, 0.82));
  ASSERT_EQ(resizes.size(), 1u);
  EXPECT_EQ(resizes[0].height, 250);
  model->back();
  EXPECT_EQ(model->step.value(), Step::password);
  model->back();
  EXPECT_EQ(model->step.value(), Step::face);
  EXPECT_TRUE(model->enrolment()->isRunning());
  advance(0.5);
  model->back();
  EXPECT_EQ(model->step.value(), Step::camera);
  EXPECT_FALSE(model->enrolment()->isRunning());
  advance(0.5);
  // Next from camera (granted) goes to face again, with a new scan.
  model->cameraGranted = true;
  const int startsBefore = simulatedCamera().startsRequested();
  model->next();
  EXPECT_EQ(model->step.value(), Step::face);
  EXPECT_TRUE(model->enrolment()->isRunning());
  advance(0.2);
  EXPECT_GT(simulatedCamera().startsRequested(), startsBefore);
  // Going to face while on face stops the scan and starts a fresh one.
  model->enrolment()->instruction = std::string("stale");
  model->go(Step::face);
  EXPECT_TRUE(model->enrolment()->isRunning());
  EXPECT_EQ(model->enrolment()->instruction.value(), EnrolmentModel::lookStraightText);
  model->finish();
  EXPECT_FALSE(model->enrolment()->isRunning());
  // Without a resize callback a step change still happens.
  model->onResize = nullptr;
  model->back();
  EXPECT_EQ(model->step.value(), Step::camera);
}

TEST_F(TutorialModelTest, OnlyTheEnrolledFlagSkipsTheFaceStepButTheStoreOpensIt) {
  simulatedCamera().setAuthorizationStatus(AuthorizationStatus::authorized);
  auto early = makeModel();  // reads its flags before the enrolment
  enrolFace();
  auto model = makeModel();
  model->go(Step::camera);
  model->next();
  EXPECT_EQ(model->step.value(), Step::password);
  // The menu's re-enrol path.
  model->go(Step::face);
  EXPECT_TRUE(model->enrolment()->isRunning());
  EXPECT_TRUE(model->canAdvance());
  model->next();
  EXPECT_EQ(model->step.value(), Step::password);

  ASSERT_FALSE(early->faceEnrolled);
  early->go(Step::camera);
  early->next();
  EXPECT_EQ(early->step.value(), Step::face) << "the store must not skip the face step";
  EXPECT_TRUE(early->canAdvance()) << "the store is asked afresh";
  // A finished scan opens it as well.
  FaceprintStore::shared().removeAll();
  EXPECT_FALSE(early->canAdvance());
  early->enrolment()->finished = true;
  EXPECT_TRUE(early->canAdvance());
}

TEST_F(TutorialModelTest, FinishingMarksTheTutorialSeenAndStopsEverything) {
  auto model = makeModel();
  model->go(Step::accessibility);
  model->requestAccessibility();
  const auto timer = model->permissionTimer();
  ASSERT_TRUE(timer && timer->isValid());
  model->finish();
  EXPECT_FALSE(timer->isValid());
  EXPECT_EQ(model->permissionTimer(), timer) << "the timer stays set";
  EXPECT_TRUE(Settings::shared().hasSeenWelcome());
  EXPECT_EQ(finishes, 1);
  // A later grant no longer moves the finished tutorial.
  lockMachine().accessibility().setTrusted(true);
  advance(3);
  EXPECT_FALSE(model->accessibilityGranted);
  EXPECT_EQ(model->step.value(), Step::accessibility);
  // Finishing without a callback only marks it seen.
  Settings::shared().setHasSeenWelcome(false);
  model->onFinish = nullptr;
  model->finish();
  EXPECT_TRUE(Settings::shared().hasSeenWelcome());
}

TEST_F(TutorialModelTest, TheCameraPromptsAnswerMovesOnALiveModelOnlyAndRedrawsAreAnnounced) {
  // Declined: the step stays and is told to redraw; Settings is the way from now on.
  simulatedCamera().setAccessAnswer(false);
  auto model = makeModel();
  model->go(Step::camera);
  EXPECT_FALSE(TutorialModel::cameraNeedsSettings());
  std::vector<std::string> changes;
  model->subscribe([&](const platform::animation::Change& c) { changes.push_back(c.field); });
  model->requestCamera();
  advance(0.01);
  EXPECT_FALSE(model->cameraGranted);
  EXPECT_EQ(model->step.value(), Step::camera);
  EXPECT_EQ(std::count(changes.begin(), changes.end(), "objectWillChange"), 1)
      << "the camera step must be told to redraw";
  EXPECT_TRUE(TutorialModel::cameraNeedsSettings());
  // So is every change of the scan.
  model->enrolment()->instruction = std::string("Move into frame");
  model->enrolment()->faceVisible = true;
  EXPECT_EQ(std::count(changes.begin(), changes.end(), "objectWillChange"), 3);

  // Allowed: the answer comes on the main queue and moves on.
  simulatedCamera().setAuthorizationStatus(AuthorizationStatus::notDetermined);
  simulatedCamera().setAccessAnswer(true);
  model->requestCamera();
  EXPECT_EQ(simulatedCamera().accessRequests(), 2);
  EXPECT_FALSE(model->cameraGranted);
  advance(0.01);
  EXPECT_TRUE(model->cameraGranted);
  EXPECT_EQ(model->step.value(), Step::face);
  EXPECT_TRUE(simulatedURLOpener().opened().empty());
  EXPECT_EQ(model->permissionTimer(), nullptr);

  // A pending answer does not keep its model; for a model that is gone it does nothing.
  simulatedCamera().setAuthorizationStatus(AuthorizationStatus::notDetermined);
  auto gone = makeModel();
  gone->go(Step::camera);
  gone->requestCamera();
  expectDroppedModelMovesNothing(std::move(gone), 0.1);
}

TEST_F(TutorialModelTest, ADeniedCameraOpensSettingsAndPollsUntilAllowed) {
  simulatedCamera().setAuthorizationStatus(AuthorizationStatus::denied);
  auto model = makeModel();
  model->go(Step::camera);
  ASSERT_TRUE(TutorialModel::cameraNeedsSettings());
  model->requestCamera();
  EXPECT_EQ(simulatedCamera().accessRequests(), 0);
  EXPECT_EQ(simulatedURLOpener().opened(),
            std::vector<std::string>{
                "x-apple.systempreferences:com.apple.preference.security?Privacy_Camera"});
  const auto timer = model->permissionTimer();
  ASSERT_TRUE(timer);
  EXPECT_DOUBLE_EQ(timer->interval(), 1.0);
  advance(5);
  EXPECT_TRUE(timer->isValid()) << "the poll runs until access is granted";
  EXPECT_FALSE(model->cameraGranted);
  simulatedCamera().setAuthorizationStatus(AuthorizationStatus::restricted);
  advance(1);
  EXPECT_FALSE(model->cameraGranted);
  advance(0.4);
  simulatedCamera().setAuthorizationStatus(AuthorizationStatus::authorized);
  advance(0.5);
  EXPECT_FALSE(model->cameraGranted) << "polled once a second, not sooner";
  advance(0.11);
  EXPECT_TRUE(model->cameraGranted);
  EXPECT_EQ(model->step.value(), Step::face);
  EXPECT_FALSE(timer->isValid());
}

TEST_F(TutorialModelTest, AccessibilityPromptsAndPollsOnceASecondHoldingTheModelWeakly) {
  lockMachine().accessibility().setGrantOnPrompt(false);
  simulatedCamera().setAuthorizationStatus(AuthorizationStatus::authorized);
  auto model = makeModel();
  model->go(Step::accessibility);
  const auto promptsBefore = lockMachine().accessibility().promptCount();
  model->requestAccessibility();
  EXPECT_EQ(lockMachine().accessibility().promptCount(), promptsBefore + 1);
  const auto first = model->permissionTimer();
  ASSERT_TRUE(first && first->isValid());
  // A second request replaces the running poll.
  model->requestAccessibility();
  EXPECT_FALSE(first->isValid());
  const auto second = model->permissionTimer();
  ASSERT_NE(second, first);
  advance(10.5);
  EXPECT_FALSE(model->accessibilityGranted) << "never granted: the step stays";
  EXPECT_TRUE(second->isValid());
  lockMachine().accessibility().setTrusted(true);
  advance(0.4);
  EXPECT_FALSE(model->accessibilityGranted) << "polled once a second, not sooner";
  advance(0.11);
  EXPECT_TRUE(model->accessibilityGranted);
  EXPECT_EQ(model->step.value(), Step::palm);
  EXPECT_FALSE(second->isValid());

  // The poll of a model that is gone stops at its next tick and moves nothing.
  lockMachine().accessibility().setTrusted(false);
  model->go(Step::accessibility);
  model->requestAccessibility();
  const auto timer = model->permissionTimer();
  lockMachine().accessibility().setTrusted(true);
  expectDroppedModelMovesNothing(std::move(model), 2);
  EXPECT_FALSE(timer->isValid());
}

TEST_F(TutorialModelTest, SavingThePassword) {
  auto model = makeModel();
  model->go(Step::password);
  // Empty: only the previous error goes.
  model->passwordSaveError = std::string("old");
  model->savePassword();
  EXPECT_EQ(model->passwordSaveError.value(), std::nullopt);
  EXPECT_FALSE(model->passwordSaved);
  EXPECT_FALSE(PasswordVault::hasPassword());

  // The keychain refuses: the error is shown and the typed password stays.
  simulatedKeychain().refuseWrites(platform::keychain::errSecAuthFailed);
  model->password = std::string("correct horse");
  model->savePassword();
  EXPECT_EQ(model->passwordSaveError.value(),
            std::optional<std::string>("Quorvel could not access your login Keychain. Allow the "
                                       "macOS Keychain prompt, then press Save again."));
  EXPECT_EQ(model->password.value(), "correct horse");
  EXPECT_FALSE(model->passwordSaved);
  EXPECT_EQ(model->step.value(), Step::password);

  // Saved: the field empties and the tutorial moves on.
  simulatedKeychain().clearFaults();
  model->savePassword();
  EXPECT_EQ(model->passwordSaveError.value(), std::nullopt);
  EXPECT_TRUE(model->passwordSaved);
  EXPECT_EQ(model->password.value(), "");
  EXPECT_EQ(PasswordVault::read(), std::optional<std::string>("correct horse"));
  EXPECT_EQ(model->step.value(), Step::accessibility);
}

TEST_F(TutorialModelTest, AFinishedScanMovesOnAfterPointEightSecondsHoldingTheModel) {
  simulatedCamera().setAuthorizationStatus(AuthorizationStatus::authorized);
  auto model = makeModel();
  std::weak_ptr<TutorialModel> weak = model;
  model->go(Step::face);
  model->scanFinished();
  EXPECT_TRUE(model->faceEnrolled);
  model.reset();
  advance(0.79);
  auto alive = weak.lock();
  ASSERT_TRUE(alive) << "the delayed step holds the model";
  EXPECT_EQ(alive->step.value(), Step::face);
  const auto enrolment = alive->enrolment();
  EXPECT_TRUE(enrolment->isRunning());
  alive.reset();
  advance(0.02);
  // next() ran (password, the first unsatisfied step) and then let go of the model.
  ASSERT_FALSE(resizes.empty());
  EXPECT_EQ(resizes.back().height, 310);
  EXPECT_FALSE(enrolment->isRunning());
  EXPECT_TRUE(weak.expired());
}

TEST_F(TutorialModelTest, NextPressedBeforeTheDelayedStepIsNotFollowedByASecond) {
  grantEverything();
  auto model = makeModel();
  model->go(Step::face);
  model->scanFinished();
  model->next();  // pressed at once
  EXPECT_EQ(model->step.value(), Step::palm);
  advance(1);
  EXPECT_EQ(model->step.value(), Step::palm) << "the delayed step belonged to the face step";
  // Also when the face step is shown again meanwhile: it is another showing.
  model->go(Step::face);
  model->scanFinished();
  model->back();
  model->go(Step::face);
  advance(1);
  EXPECT_EQ(model->step.value(), Step::face);
}

}  // namespace
}  // namespace quorvel::testing
