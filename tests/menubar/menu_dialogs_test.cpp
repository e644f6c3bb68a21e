// The menu-bar controller's dialogs on the simulated platform: the app-password gate in front
// of each guarded action, recovery through device-owner authentication in virtual time, the
// app-password and login-password prompts, forgetting, the engine choice and the match-test
// report, with every alert's exact texts, buttons, field and activation.
#include <gtest/gtest.h>

#include "foundation/build_flavour.hpp"
#include "foundation/password_vault.hpp"
#include "foundation/quorvel_password.hpp"
#include "foundation/settings.hpp"
#include "menubar/menubar_fixture.hpp"
#include "onboarding/tutorial_controller.hpp"
#include "platform/localauth/local_auth_linux.hpp"
#include "platform/ui/alert_linux.hpp"
#include "support/storage_hooks.hpp"

namespace quorvel::testing {
namespace {

using platform::ui::Alert;

constexpr const char* kGate = "Confirm the Quorvel password";
constexpr const char* kWrong = "That wasn't right";
constexpr const char* kNewFirst = "Set a Quorvel password";
constexpr const char* kNewAgain = "Set a new Quorvel password";
constexpr const char* kLogin = "Save your login password";
constexpr const char* kRefused = "Could not save the password";
constexpr const char* kForget = "Forget your face and password?";
constexpr const char* kPersonal = "Switch to the personal-use model?";
constexpr const char* kNeedsEnrolment = "Set your face up for this model";

constexpr const char* kAhead = "activate ignoringOtherApps=true";
constexpr const char* kPlain = "activate ignoringOtherApps=false";

class MenuDialogsTest : public MenuBarTest {
 protected:
  MenuBarController::GuardedAction counting() {
    return [this] { ++ran; };
  }
  // The tutorial opened at the face step by an enrolment; closes it again.
  void expectEnrolmentShownThenClose() {
    advance(0.05);
    ASSERT_TRUE(TutorialController::shared().isShowing());
    EXPECT_EQ(TutorialController::shared().model()->step.value(), TutorialStep::face);
    TutorialController::shared().dismiss();
    advance(1);
  }

  int ran = 0;
};

// --- the gate --------------------------------------------------------------------------

TEST_F(MenuDialogsTest, TheGateAsksForTheAppPasswordAheadOfOtherApplications) {
  ASSERT_TRUE(QuorvelPassword::set("hunter2"));
  simulatedAlerts().press(0, "hunter2");
  controller->requireQuorvelPassword(counting());
  EXPECT_EQ(ran, 1);
  ASSERT_EQ(simulatedAlerts().shown().size(), 1u);
  expectAlert(0, kGate,
              "Set so someone who already has your Mac unlocked cannot quietly re-enrol their "
              "own face or swap your saved password.",
              {"Continue", "Forgotten it?", "Cancel"}, true);
  EXPECT_EQ(activations(), Strings{kAhead});

  // Cancelled: nothing runs and nobody is asked to recover.
  simulatedAlerts().press(2, "hunter2");
  controller->requireQuorvelPassword(counting());
  runUntilIdle();
  EXPECT_EQ(ran, 1);
  EXPECT_EQ(messages(), (Strings{kGate, kGate}));
  EXPECT_TRUE(simulatedLocalAuth().reasons().empty());
}

TEST_F(MenuDialogsTest, AWrongEmptyOrUnreadableAppPasswordShowsOneNoticeAndRunsNothing) {
  ASSERT_TRUE(QuorvelPassword::set("hunter2"));
  // The last: the right password, but its record cannot be read.
  for (const std::string typed : {"hunter3", "", "hunter2"}) {
    if (typed == "hunter2") simulatedKeychain().refuseReads(-25293, QuorvelPassword::recordAccount);
    simulatedAlerts().reset();
    simulatedAlerts().press(0, typed);
    controller->requireQuorvelPassword(counting());
    EXPECT_EQ(ran, 0);
    ASSERT_EQ(messages(), (Strings{kGate, kWrong})) << typed;
    expectAlert(1, kWrong, "The Quorvel password did not match.", {"OK"});
    EXPECT_EQ(simulatedAlerts().unscripted(), 1) << "only the notice, not a second gate";
  }
  EXPECT_EQ(activations(), (Strings{kAhead, kPlain, kAhead, kPlain, kAhead, kPlain}));
}

// --- the guarded actions behind a set app password ----------------------------------------

class GuardedActionsTest : public MenuDialogsTest {
 protected:
  void SetUp() override {
    MenuDialogsTest::SetUp();
    ASSERT_TRUE(QuorvelPassword::set("hunter2"));
  }
};

TEST_F(GuardedActionsTest, ReEnrollingAndChangingEitherPasswordNeedTheAppPassword) {
  enrol();
  ASSERT_TRUE(PasswordVault::set("first"));
  answer({{0, "wrong"}});
  controller->showEnrolment();
  advance(0.05);
  EXPECT_FALSE(TutorialController::shared().isShowing());
  EXPECT_EQ(messages(), (Strings{kGate, kWrong}));

  simulatedAlerts().reset();
  answer({{0, "hunter2"}});
  controller->showEnrolment();
  expectEnrolmentShownThenClose();
  answer({{0, "hunter2"}, {0, "second"}});
  controller->setPassword();
  EXPECT_EQ(PasswordVault::read(), "second");
  answer({{0, "hunter2"}, {0, "swordfish"}});
  controller->setQuorvelPassword();
  EXPECT_EQ(messages(), (Strings{kGate, kGate, kLogin, kGate, kNewAgain}));
  EXPECT_TRUE(QuorvelPassword::verify("swordfish"));
  EXPECT_FALSE(QuorvelPassword::verify("hunter2"));
  EXPECT_EQ(controller->iconRefreshes(), 2) << "once for each password saved";

  // Cancelled, or the old app password after the change: nothing runs.
  simulatedAlerts().reset();
  answer({{2}, {0, "hunter2"}});
  controller->setPassword();
  controller->setQuorvelPassword();
  EXPECT_EQ(messages(), (Strings{kGate, kGate, kWrong}));
  EXPECT_EQ(PasswordVault::read(), "second");
  EXPECT_TRUE(QuorvelPassword::verify("swordfish"));
}

TEST_F(GuardedActionsTest, ForgettingRemovesBothEnginesAndTheLoginPasswordButKeepsTheAppPassword) {
  enrol(RecognitionEngine::dlib);
  enrol(RecognitionEngine::arcface);
  ASSERT_TRUE(PasswordVault::set("login"));
  // Cancelling the confirmation keeps everything.
  answer({{0, "hunter2"}, {1}});
  controller->forgetFace();
  EXPECT_TRUE(FaceprintStore::shared().isEnrolled(RecognitionEngine::dlib));
  EXPECT_TRUE(PasswordVault::hasPassword());
  EXPECT_EQ(controller->iconRefreshes(), 0);

  simulatedAlerts().reset();
  answer({{0, "hunter2"}, {0}});
  controller->forgetFace();
  EXPECT_EQ(messages(), (Strings{kGate, kForget}));
  expectAlert(1, kForget,
              "Quorvel will stop unlocking your Mac until you set it up again. Your Mac's own "
              "password is not affected.",
              {"Forget", "Cancel"});
  EXPECT_EQ(activations(), (Strings{kAhead, kAhead})) << "the confirmation does not activate";
  EXPECT_FALSE(FaceprintStore::shared().isEnrolled(RecognitionEngine::dlib));
  EXPECT_FALSE(FaceprintStore::shared().isEnrolled(RecognitionEngine::arcface));
  EXPECT_FALSE(PasswordVault::hasPassword());
  EXPECT_TRUE(QuorvelPassword::verify("hunter2"));
  EXPECT_EQ(controller->iconRefreshes(), 1);

  // Nothing enrolled or saved: enrolment and saving run without the gate.
  simulatedAlerts().reset();
  simulatedAlerts().press(0, "again");
  controller->setPassword();
  controller->showEnrolment();
  EXPECT_EQ(messages(), Strings{kLogin});
  expectEnrolmentShownThenClose();
}

// --- recovery --------------------------------------------------------------------------

TEST_F(GuardedActionsTest, RecoveryAsksTheDeviceOwnerThenForANewPasswordThenRunsTheAction) {
  simulatedAlerts().press(1);
  controller->requireQuorvelPassword(counting());
  EXPECT_EQ(simulatedLocalAuth().reasons(),
            Strings{"recover access to Quorvel after a forgotten password"});
  EXPECT_EQ(messages(), Strings{kGate}) << "nothing before the reply reaches the main queue";
  simulatedAlerts().press(0, "newpass");
  runUntilIdle();
  EXPECT_EQ(messages(), (Strings{kGate, kNewAgain}));
  EXPECT_EQ(ran, 1);
  EXPECT_TRUE(QuorvelPassword::verify("newpass"));

  // The app-password row prompts twice: once to recover, once for its own change.
  simulatedAlerts().reset();
  answer({{1}, {0, "first"}, {1, "second"}});
  controller->setQuorvelPassword();
  runUntilIdle();
  EXPECT_EQ(messages(), (Strings{kGate, kNewAgain, kNewAgain}));
  EXPECT_TRUE(QuorvelPassword::verify("first"));
}

TEST_F(GuardedActionsTest, UnavailableFailedOrLateDeviceAuthenticationChangesNothing) {
  simulatedLocalAuth().setAvailable(false);
  simulatedAlerts().press(1);
  controller->requireQuorvelPassword(counting());
  runUntilIdle();
  EXPECT_EQ(simulatedLocalAuth().availabilityQueries(), 1);
  EXPECT_TRUE(simulatedLocalAuth().reasons().empty());

  simulatedLocalAuth().setAvailable(true);
  for (auto error : {platform::localauth::AuthError::userCancel,
                     platform::localauth::AuthError::userFallback,
                     platform::localauth::AuthError::authenticationFailed}) {
    simulatedLocalAuth().setOutcome(error);
    simulatedAlerts().press(1);
    controller->requireQuorvelPassword(counting());
    runUntilIdle();
  }

  // A reply after the controller is gone: the pending reply holds it weakly.
  simulatedLocalAuth().setOutcome(std::nullopt);
  simulatedAlerts().press(1);
  controller->requireQuorvelPassword(counting());
  dropController();
  runUntilIdle();
  EXPECT_EQ(messages(), (Strings{kGate, kGate, kGate, kGate, kGate}));
  EXPECT_EQ(ran, 0);
  EXPECT_TRUE(QuorvelPassword::verify("hunter2"));
}

TEST_F(MenuDialogsTest, TheLinuxDeviceAuthenticationCannotEvaluate) {
  auto context = platform::localauth::makeLinuxProvider()->makeContext();
  EXPECT_FALSE(context->canEvaluateDeviceOwnerAuthentication());
  bool replied = false, success = true;
  context->evaluateDeviceOwnerAuthentication("x", [&](bool ok, auto) {
    replied = true;
    success = ok;
  });
  runUntilIdle();
  EXPECT_TRUE(replied);
  EXPECT_FALSE(success);
}

// --- the app-password and login-password prompts ----------------------------------------------

TEST_F(MenuDialogsTest, TheNewAppPasswordPromptAndItsEmptyEntry) {
  simulatedAlerts().press(0, "");
  controller->promptNewQuorvelPassword(counting());
  EXPECT_FALSE(QuorvelPassword::isSet());
  EXPECT_EQ(ran, 0);
  expectAlert(0, kNewFirst,
              "Needed to change your saved password or re-do face setup later. Not your Mac's "
              "login password \u2014 this one is just for Quorvel.",
              {"Set", "Cancel"}, true);
  EXPECT_EQ(activations(), Strings{kAhead});

  simulatedAlerts().press(1, "typed but cancelled");
  controller->promptNewQuorvelPassword(counting());
  EXPECT_FALSE(QuorvelPassword::isSet());

  simulatedAlerts().press(0, "pw");
  controller->promptNewQuorvelPassword(counting());
  EXPECT_TRUE(QuorvelPassword::verify("pw"));
  EXPECT_EQ(ran, 1);
  EXPECT_EQ(controller->iconRefreshes(), 1);

  controller->promptNewQuorvelPassword(nullptr);
  EXPECT_EQ(messages(), (Strings{kNewFirst, kNewFirst, kNewFirst, kNewAgain}));
}

TEST_F(MenuDialogsTest, TheLoginPasswordDialogSavesRefusesAndIgnoresAnEmptyEntry) {
  simulatedAlerts().press(0, "");
  controller->presentPasswordDialog();
  EXPECT_FALSE(PasswordVault::hasPassword());
  expectAlert(0, kLogin,
              "Quorvel types this for you when it recognises your face. It is encrypted and kept "
              "in your Keychain.",
              {"Save", "Cancel"}, true);
  EXPECT_TRUE(activations().empty()) << "the dialog does not activate";
  EXPECT_EQ(controller->iconRefreshes(), 0);

  simulatedAlerts().press(0, "secret");
  controller->presentPasswordDialog();
  EXPECT_EQ(PasswordVault::read(), "secret");
  EXPECT_EQ(controller->iconRefreshes(), 1);

  simulatedKeychain().refuseWrites(-25293, PasswordVault::account);
  simulatedAlerts().reset();
  simulatedAlerts().press(0, "other");
  controller->presentPasswordDialog();
  EXPECT_EQ(messages(), (Strings{kLogin, kRefused}));
  expectAlert(1, kRefused, "The Keychain refused to store it.", {"OK"});
  EXPECT_EQ(activations(), Strings{kPlain});
  EXPECT_EQ(controller->iconRefreshes(), 1);
  simulatedKeychain().clearFaults();
  EXPECT_EQ(PasswordVault::read(), "secret");
}

// --- engine choice ----------------------------------------------------------------------

TEST_F(MenuDialogsTest, UnknownUnselectableOrCurrentEnginesChangeNothing) {
  ASSERT_EQ(Settings::shared().recognitionEngine(), RecognitionEngine::dlib);
  controller->chooseEngine("vgg");
  controller->chooseEngine("dlib");
  // The panel's rows name engines by their display names.
  controller->currentActions().chooseEngine("dlib");
  controller->currentActions().chooseEngine("");
  controller->currentActions().chooseEngine("dlib (public domain)");
  if (!BuildFlavour::isDeveloper) {
    simulatedAlerts().press(0);
    controller->chooseEngine("arcface");
    EXPECT_FALSE(defaults().stringForKey("recognitionEngine").has_value());
  }
  EXPECT_TRUE(messages().empty());
  EXPECT_EQ(controller->iconRefreshes(), 0);
}

// The engine list is shown in developer builds only; their tests run in that flavour.
TEST_F(MenuDialogsTest, ThePersonalUseEngineNeedsConfirmation) {
  if (!BuildFlavour::isDeveloper) GTEST_SKIP() << "a customer build selects dlib only";
  simulatedAlerts().press(1);
  controller->chooseEngine("arcface");
  EXPECT_EQ(Settings::shared().recognitionEngine(), RecognitionEngine::dlib);
  EXPECT_EQ(controller->iconRefreshes(), 0);
  EXPECT_EQ(messages(), Strings{kPersonal});
  expectAlert(0, kPersonal,
              "This model is licensed for non-commercial research only. It is fine for your own "
              "Mac, but Quorvel could not be sold with it.\n\nYour face needs setting up again "
              "for this model, because the two describe faces differently. Your existing setup "
              "is kept and comes back if you switch again.",
              {"Switch", "Cancel"});
  EXPECT_EQ(activations(), Strings{kAhead});

  enrol(RecognitionEngine::dlib);
  simulatedAlerts().reset();
  simulatedAlerts().press(0);
  controller->chooseEngine("arcface");
  EXPECT_EQ(Settings::shared().recognitionEngine(), RecognitionEngine::arcface);
  EXPECT_EQ(controller->iconRefreshes(), 1);
  EXPECT_EQ(messages(), (Strings{kPersonal, kNeedsEnrolment}));
  expectAlert(1, kNeedsEnrolment,
              "The two models describe faces differently, so they cannot share a setup. Choose "
              "\"Set up my face\" to enrol for ArcFace (personal use only).",
              {"OK"});
  EXPECT_EQ(activations(), (Strings{kAhead, kAhead, kPlain}));

  // Back to the engine with faceprints: no confirmation, no alert.
  simulatedAlerts().reset();
  controller->chooseEngine("dlib");
  EXPECT_EQ(Settings::shared().recognitionEngine(), RecognitionEngine::dlib);
  EXPECT_TRUE(messages().empty());
  EXPECT_TRUE(FaceprintStore::shared().isEnrolled(RecognitionEngine::dlib));

  // A sellable engine without faceprints says it needs enrolment.
  Settings::shared().setRecognitionEngine(RecognitionEngine::arcface);
  FaceprintStore::shared().removeAll();
  controller->chooseEngine("dlib");
  EXPECT_EQ(Settings::shared().recognitionEngine(), RecognitionEngine::dlib);
  ASSERT_EQ(messages(), Strings{kNeedsEnrolment});
  EXPECT_NE(simulatedAlerts().shown()[0].informativeText.find("enrol for dlib (public domain)."),
            std::string::npos);
}

// --- the match-test report --------------------------------------------------------------

using Result = UnlockCoordinator::TestResult;

TEST(MatchTestReportTest, TheReportLinesForEachEngine) {
  struct Case { Result result; RecognitionEngine engine; std::string report; };
  // The reset result's report is checked where a match test shows it.
  const Case cases[] = {
      {Result(0.4123, 0.968f, 31, 40, false), RecognitionEngine::dlib,
       "Model: dlib (public domain)\nBest match score: 0.412   (needs below 0.5)\n"
       "Live-face score: 0.97   (needs above 0.55)\nFrames with a face: 31 of 40"},
      // An unenrolled sentinel score shows an em dash.
      {Result(1e9, 0.5f, 4, 4, false), RecognitionEngine::dlib,
       "Model: dlib (public domain)\nBest match score: \u2014   (needs below 0.5)\n"
       "Live-face score: 0.50   (needs above 0.55)\nFrames with a face: 4 of 4"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MenuBarController::matchTestReport(c.result, c.engine, spec(c.engine), true).report,
              c.report);
  }
  // A higher-is-better engine needs a score above.
  const auto& arc = spec(RecognitionEngine::arcface);
  ASSERT_TRUE(arc.higherIsBetter);
  const auto text = MenuBarController::matchTestReport(Result(0.61, 0.9f, 3, 4, true),
                                                       RecognitionEngine::arcface, arc, true);
  EXPECT_NE(text.report.find("Model: ArcFace (personal use only)\nBest match score: 0.610   (needs above "),
            std::string::npos)
      << text.report;
  EXPECT_NE(text.report.find("(needs above 0.55)\nFrames with a face: 3 of 4"), std::string::npos);
}

TEST(MatchTestReportTest, TheVerdictIsTheFirstThatApplies) {
  const std::string noFace = "No face was found. Check the camera is not covered or in use.";
  const std::string notSetUp =
      "There is no face set up for this model yet. Choose \"Set up my face\" first, then run "
      "this again.";
  const std::string unlocked = "This would have unlocked your Mac.";
  const std::string notLive =
      "Your face was recognised but did not look live enough. Try better lighting.";
  const std::string weak = "Not a strong enough match. If this keeps happening, set up your face again.";
  const auto verdict = [](const Result& result, bool enrolled = true) {
    return MenuBarController::matchTestReport(result, RecognitionEngine::dlib,
                                              spec(RecognitionEngine::dlib), enrolled)
        .verdict;
  };
  EXPECT_EQ(verdict(Result(), false), noFace);
  EXPECT_EQ(verdict(Result(0.3, 0.9f, 0, 10, true), false), noFace);
  EXPECT_EQ(verdict(Result(0.3, 0.9f, 2, 10, true), false), notSetUp);
  EXPECT_EQ(verdict(Result(0.3, 0.1f, 2, 10, true)), unlocked);
  EXPECT_EQ(verdict(Result(0.3, 0.549f, 2, 10, false)), notLive);
  EXPECT_EQ(verdict(Result(0.7, 0.55f, 2, 10, false)), weak) << "the floor itself is live";
}

// --- the platform's alerts ----------------------------------------------------------------

TEST(LinuxAlertsTest, AnAlertIsAnsweredAsDismissedWithItsLastButton) {
  auto alerts = platform::ui::makeLinuxAlerts();
  const auto answer = alerts->runModal(Alert{"m", "i", {"Set", "Cancel"}, platform::ui::SecureFieldAccessory{}});
  EXPECT_EQ(answer.response, platform::ui::AlertResponse::secondButton);
  EXPECT_TRUE(answer.text.empty());
  EXPECT_EQ(alerts->runModal(Alert{"m", "i", {"OK"}, std::nullopt}).response,
            platform::ui::AlertResponse::firstButton);
}

}  // namespace
}  // namespace quorvel::testing
