// Readiness, the start of an attempt, the camera retries, the overall deadline, sleep and
// unlock during an attempt, and stale steps of ended attempts.
#include <gtest/gtest.h>

#include "coordinator/coordinator_fixture.hpp"

namespace quorvel::testing {
namespace {

using AttemptTest = CoordinatorTest;

TEST_F(AttemptTest, EachBlockerIsLoggedInTurnUntilTheAttemptStarts) {
  PasswordVault::clear();
  lockMachine().accessibility().setTrusted(false);
  Settings::shared().setUnlockEnabled(false);

  const char* expected[] = {"Set up your face first", "Save your password first",
                            "Accessibility permission needed", "Turned off"};
  const std::function<void()> fixes[] = {
      [&] { enrolAt(face, 0.9); },
      [] { ASSERT_TRUE(PasswordVault::set(kPassword)); },
      [] { lockMachine().accessibility().setTrusted(true); },
      [] { Settings::shared().setUnlockEnabled(true); },
  };
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(expected[i]);
    EXPECT_FALSE(coordinator().isReady());
    EXPECT_EQ(coordinator().blocker(), std::optional<std::string>(expected[i]));
    logs().clear();
    lockScreen();
    EXPECT_EQ(unlockLogs(), (std::vector<std::string>{"Screen locked", std::string("Not attempting unlock: ") + expected[i]}));
    EXPECT_EQ(levelOf(std::string("Not attempting unlock: ") + expected[i]), platform::log::Level::Info);
    EXPECT_FALSE(coordinator().isActive());
    EXPECT_FALSE(coordinator().currentAttempt());
    unlockByUser();
    fixes[i]();
  }
  EXPECT_TRUE(coordinator().isReady());
  EXPECT_FALSE(coordinator().blocker());
  logs().clear();
  lockScreen();
  EXPECT_TRUE(coordinator().isActive());
  EXPECT_EQ(unlockLogs(), std::vector<std::string>{"Screen locked"});
  // No attempt, no camera and no overlay for any of the refused locks.
  EXPECT_EQ(simulatedCamera().startsRequested(), 1);
  advance(0.5);
  EXPECT_EQ(overlayEvents(), std::vector<std::string>{"scan"});
}

TEST_F(AttemptTest, FailedModelsComeFirstInTheBlockerAndLastInReadiness) {
  // Unlocking off and no faceprints: the blocker names the face, not "Turned off".
  Settings::shared().setUnlockEnabled(false);
  EXPECT_EQ(coordinator().blocker(), std::optional<std::string>("Set up your face first"));
  // Models that failed to load outrank everything.
  simulatedML().failLoading("MiniFAS.mlpackage", platform::ml::Error{platform::ml::ErrorCode::generic, "bad"});
  EXPECT_FALSE(FaceModels::shared().liveness(*platform::ml::MultiArray::make({1, 3, 128, 128})));
  ASSERT_TRUE(FaceModels::shared().loadFailed());
  EXPECT_EQ(coordinator().blocker(), std::optional<std::string>("Face models failed to load"));
  // With everything else in place the models alone keep it from being ready.
  enrolAt(face, 0.9);
  Settings::shared().setUnlockEnabled(true);
  EXPECT_FALSE(coordinator().isReady());
  EXPECT_EQ(coordinator().blocker(), std::optional<std::string>("Face models failed to load"));
  lockScreen();
  EXPECT_TRUE(logged("Not attempting unlock: Face models failed to load"));
  EXPECT_FALSE(coordinator().isActive());
}

TEST_F(AttemptTest, TheCameraIsRetriedFourTimesThenTheAttemptEnds) {
  enrolAt(face, 0.9);
  simulatedCamera().setFailsToStart(true);
  lockScreen();
  EXPECT_EQ(simulatedCamera().startsRequested(), 1);
  EXPECT_EQ(unlockLogs().back(), "Camera not ready yet, retrying (4 attempt(s) left)");
  advance(0.399);
  EXPECT_EQ(simulatedCamera().startsRequested(), 1) << "0.4 s between tries";
  advance(0.001);
  EXPECT_EQ(simulatedCamera().startsRequested(), 2);
  advance(1.2);
  EXPECT_EQ(simulatedCamera().startsRequested(), 5);
  EXPECT_FALSE(coordinator().isActive());
  EXPECT_FALSE(coordinator().currentAttempt());
  EXPECT_EQ(unlockLogs(), (std::vector<std::string>{
                              "Screen locked", "Camera not ready yet, retrying (4 attempt(s) left)",
                              "Camera not ready yet, retrying (3 attempt(s) left)",
                              "Camera not ready yet, retrying (2 attempt(s) left)",
                              "Camera not ready yet, retrying (1 attempt(s) left)",
                              "Camera would not start after 5 attempts"}));
  EXPECT_EQ(levelOf("Camera not ready yet, retrying (1 attempt(s) left)"), platform::log::Level::Info);
  EXPECT_EQ(levelOf("Camera would not start after 5 attempts"), platform::log::Level::Error);
  advance(30);
  EXPECT_EQ(simulatedCamera().startsRequested(), 5);
  EXPECT_EQ(overlayEvents(), (std::vector<std::string>{"scan", "message:Camera unavailable", "retract"}));
}

TEST_F(AttemptTest, ACameraThatStartsOnALaterTryRunsTheAttempt) {
  enrolAt(face, 0.9);
  simulatedCamera().failNextStarts(2);
  play({emptyFrame()}, 2);
  lockScreen();
  advance(0.8);
  EXPECT_EQ(simulatedCamera().startsRequested(), 3);
  EXPECT_EQ(unlockLogs(), (std::vector<std::string>{"Screen locked",
                                                    "Camera not ready yet, retrying (4 attempt(s) left)",
                                                    "Camera not ready yet, retrying (3 attempt(s) left)"}));
  EXPECT_TRUE(coordinator().camera()->isRunning());
  advance(1.0);
  EXPECT_GE(simulatedCamera().framesDelivered(), 1);
  EXPECT_TRUE(coordinator().isActive());
}

TEST_F(AttemptTest, ANewLockAfterAnEndedAttemptGetsANewAttemptAndEngine) {
  enrolAt(face, 0.45);  // sustained only: three frames in a row are needed
  play({face, emptyFrame(), emptyFrame(), emptyFrame()}, 2);
  lockScreen();
  const auto first = coordinator().currentAttempt();
  advance(4);  // one matching frame in each four
  unlockByUser();
  play({face}, 2);
  lockScreen();
  EXPECT_NE(coordinator().currentAttempt(), first);
  // A fresh engine: the earlier attempt's sustained frames do not count here.
  advance(1.0);
  EXPECT_TRUE(coordinator().isActive()) << "two frames are not enough";
  advance(0.5);
  EXPECT_FALSE(coordinator().isActive());
  EXPECT_TRUE(coordinator().hasSucceeded());
  EXPECT_EQ(countLogs("Match: 0.450000, liveness 0.900000"), 1);
}

// An unlock ends the attempt at once and hides its panel; its deadline and its pending camera
// retry then do nothing to the attempt of a later lock, which its own deadline ends 20 s after
// its lock.
TEST_F(AttemptTest, TheDeadlineOfAnEarlierAttemptDoesNotEndALaterOne) {
  enrolAt(face, 0.9);
  simulatedCamera().failNextStarts(3);  // tries at 0, 0.4 and 0.8 s fail; one at 1.2 s is pending
  lockScreen();
  advance(1.0);
  unlockByUser();
  EXPECT_FALSE(coordinator().isActive());
  EXPECT_EQ(overlayEvents(), (std::vector<std::string>{"scan", "hide"}));
  advance(5.0);
  EXPECT_FALSE(coordinator().camera()->isRunning()) << "the first attempt's retry did nothing";
  lockScreen();  // at 6 s
  const auto second = coordinator().currentAttempt();
  advance(14.5);  // past the first attempt's deadline at 20 s
  EXPECT_TRUE(coordinator().isActive());
  EXPECT_EQ(coordinator().currentAttempt(), second);
  EXPECT_EQ(simulatedCamera().startsRequested(), 4);
  advance(5.499);
  EXPECT_TRUE(coordinator().isActive());
  advance(0.001);  // the second attempt's own deadline at 26 s
  EXPECT_FALSE(coordinator().isActive());
  EXPECT_FALSE(coordinator().currentAttempt());
  EXPECT_FALSE(coordinator().camera()->isRunning());
  advance(2);
  const std::vector<std::string> events{"scan", "hide", "scan", "message:Not recognised \u2014 type your password",
                                        "retract"};
  EXPECT_EQ(overlayEvents(), events);
  unlockByUser();
  advance(5);
  EXPECT_EQ(overlayEvents(), events) << "an unlock after the attempt ended tells the overlay nothing";
}

}  // namespace
}  // namespace quorvel::testing
