// "--request-camera", "--diagnose-palm" and "--diagnose-camera" on the simulated machine, in
// virtual time: each runs the application's run loop until its answer, timer or test result
// ends it with the exit status.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <optional>
#include <regex>
#include <sstream>

#include "app/diagnostics_camera.hpp"
#include "coordinator/coordinator_fixture.hpp"
#include "platform/capture/simulated_capture.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "platform/vision/simulated_hand_pose.hpp"
#include "recognition/camera_session.hpp"
#include "recognition/native_dlib.hpp"
#include "support/E_printed_lines.hpp"
#include "support/ui_updater_hooks.hpp"

namespace quorvel::testing {
namespace {

namespace diag = quorvel::diagnostics;
using platform::capture::AuthorizationStatus;
using platform::capture::SimulatedCaptureSystem;

Frame grey(int shade) {
  const double v = shade / 255.0;
  return SimulatedCaptureSystem::generatedFrame(320, 240, platform::image::Color{v, v, v, 1.0});
}

// --- "--request-camera" ---

class RequestCameraTest : public PlatformTest {};

TEST_F(RequestCameraTest, TheAnswerIsPrintedAndIsTheExitStatusAndAnEarlierOneStandsWithoutWaiting) {
  const struct {
    AuthorizationStatus status;
    bool answer;
    int exit;
    const char* verdict;
  } cases[] = {
      {AuthorizationStatus::notDetermined, true, 0, "GRANTED"},
      {AuthorizationStatus::notDetermined, false, 1, "DENIED"},
      // Answered earlier: the platform does not ask again.
      {AuthorizationStatus::authorized, false, 0, "GRANTED"},
      {AuthorizationStatus::denied, true, 1, "DENIED"},
      {AuthorizationStatus::restricted, true, 1, "DENIED"},
  };
  for (const auto& c : cases) {
    simulatedCamera().setAuthorizationStatus(c.status);
    simulatedCamera().setAccessAnswer(c.answer);
    std::ostringstream out;
    EXPECT_EQ(diag::runRequestCamera(argv(diag::kRequestCameraSwitch), out), c.exit);
    EXPECT_EQ(printedLines(out.str()),
              (std::vector<std::string>{"Requesting camera access as com.tessmin.quorvel...", c.verdict}));
  }
  EXPECT_EQ(now(), 0.0);
  EXPECT_EQ(simulatedApplication().policyRequests(), std::vector<std::string>(5, "regular"));
  EXPECT_EQ(simulatedApplication().activations(),
            std::vector<std::string>(5, "activate ignoringOtherApps=true"));
  EXPECT_EQ(scheduler().pendingCount(), 0u);
}

// --- "--diagnose-palm" ---

class PalmDiagnosticTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    // Frames at 0.3 s steps from 0.3 s: 26 of them before the 8 s summary (the 27th is due at 8.1 s).
    simulatedCamera().setFrameRate(1 / 0.3);
    simulatedCamera().setFrames({grey(40), grey(80)});
  }
  int run() {
    out.str("");
    return diag::runDiagnosePalm(argv(diag::kDiagnosePalmSwitch), out);
  }
  std::ostringstream out;
};

TEST_F(PalmDiagnosticTest, NoHandShownCountsEveryFrameAndGivesTheAdvice) {
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(now(), 8.0);
  EXPECT_EQ(printedLines(out.str()),
            (std::vector<std::string>{
                "Camera authorised: true (authorized)",
                "Hold a hand up to the camera. Watching for 8 seconds...",
                "--- result ---",
                "frames seen:          26",
                "frames with open hand: 0",
                "No open hand seen. Try holding it flatter, closer, and fully in view.",
            }));
  EXPECT_EQ(simulatedHandPose().performed().size(), 26u) << "every frame is examined";
  EXPECT_EQ(simulatedApplication().policyRequests(), std::vector<std::string>{"regular"});
  EXPECT_TRUE(simulatedApplication().activations().empty());
  // The session was stopped: no frame after the summary.
  const int delivered = simulatedCamera().framesDelivered();
  advance(5);
  EXPECT_EQ(simulatedCamera().framesDelivered(), delivered);
  EXPECT_EQ(printedLines(out.str()).size(), 6u);

  // A camera without frames: zero frames, and still a success.
  simulatedCamera().setFrames({});
  EXPECT_EQ(run(), 0);
  const auto lines = printedLines(out.str());
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[3], "frames seen:          0");
  EXPECT_EQ(lines[4], "frames with open hand: 0");
}

TEST_F(PalmDiagnosticTest, OpenHandFramesArePrintedWithTheirNumberAsTheyComeAndCounted) {
  simulatedHandPose().enqueueHands({});
  simulatedHandPose().enqueueHands({openHand()});
  // A hand of which only the wrist is seen is no open hand.
  simulatedHandPose().enqueueHands({platform::vision::HumanHandPoseObservation(
      {{platform::vision::HandJointName::wrist, {{0.5, 0.2}, 0.9f}}})});
  simulatedHandPose().enqueueError({7, "request failed"});
  simulatedHandPose().enqueueHands({openHand()});
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(printedLines(out.str()),
            (std::vector<std::string>{
                "Camera authorised: true (authorized)",
                "Hold a hand up to the camera. Watching for 8 seconds...",
                "  frame 2: OPEN HAND",
                "  frame 5: OPEN HAND",
                "--- result ---",
                "frames seen:          26",
                "frames with open hand: 2",
                "OK: the gesture was detected",
            }));
  for (const std::string& label : scheduler().ranOn()) {
    if (label == CameraSession::queueLabel) return;  // frames were examined on the camera queue
  }
  ADD_FAILURE() << "no work ran on the camera queue";
}

TEST_F(PalmDiagnosticTest, ACameraThatWillNotStartFailsWithOneAndNothingFollows) {
  for (bool permitted : {true, false}) {
    simulatedCamera().setFailsToStart(permitted);
    simulatedCamera().setAuthorizationStatus(permitted ? AuthorizationStatus::authorized : AuthorizationStatus::denied);
    EXPECT_EQ(run(), 1);
    EXPECT_LT(now(), 8.0);
    EXPECT_EQ(printedLines(out.str()),
              (std::vector<std::string>{
                  permitted ? "Camera authorised: true (authorized)"
                            : "Camera authorised: false (denied — must be re-enabled in System Settings)",
                  "Hold a hand up to the camera. Watching for 8 seconds...", "FAILED: camera would not start"}));
  }
  advance(10);
  EXPECT_EQ(printedLines(out.str()).size(), 3u) << "the 8-second summary of a failed run never prints";
}

TEST_F(PalmDiagnosticTest, OnRealThreadsFramesAreExaminedOnTheCameraQueueAndEveryOpenHandIsCounted) {
  platform::dispatch::install(platform::dispatch::makeRealScheduler());
  simulatedCamera().setFrameRate(30);
  // Every frame shows the hand; each request notes whether it ran on the main thread.
  struct ThreadNotingDetector : platform::vision::SimulatedHandPoseDetector {
    std::optional<platform::vision::HandPoseError> perform(platform::vision::DetectHumanHandPoseRequest& request,
                                                          const platform::vision::HandPoseFrame& frame) override {
      if (platform::dispatch::isMainThread()) ++onMain;
      return SimulatedHandPoseDetector::perform(request, frame);
    }
    std::atomic<int> onMain{0};
  };
  auto detector = std::make_shared<ThreadNotingDetector>();
  detector->setDefaultHands({openHand()});
  platform::vision::installHandPoseDetector(detector);
  EXPECT_EQ(run(), 0);
  // Let a frame that was still on its way when the session was asked to stop finish.
  platform::dispatch::runMainLoopUntil([] { return false; }, 0.3);
  const std::string text = out.str();
  std::smatch summary;
  ASSERT_TRUE(std::regex_search(text, summary,
                                std::regex("frames seen: +([0-9]+)\nframes with open hand: ([0-9]+)\n"
                                           "OK: the gesture was detected\n")))
      << text;
  const long seen = std::stol(summary[1]), open = std::stol(summary[2]);
  EXPECT_GT(seen, 100) << "30 frames a second for 8 seconds";
  // A frame still being examined when the summary reads the counters may be left out of it.
  EXPECT_GE(open, seen - 1);
  EXPECT_LE(open, seen);
  // One OPEN HAND line per open frame, numbered in order (a late one may follow the summary).
  long numbered = 0;
  for (const auto& line : printedLines(text)) {
    if (line.rfind("  frame ", 0) != 0) continue;
    ++numbered;
    EXPECT_EQ(line, "  frame " + std::to_string(numbered) + ": OPEN HAND");
  }
  EXPECT_GE(numbered, open);
  EXPECT_LE(numbered, open + 1);
  EXPECT_GE(static_cast<long>(detector->performed().size()), seen);
  EXPECT_EQ(detector->onMain.load(), 0) << "frames are examined on the camera queue";
  platform::vision::installHandPoseDetector(nullptr);
}

// --- "--diagnose-camera" ---

class CameraDiagnosticTest : public CoordinatorTest {
 protected:
  void SetUp() override {
    CoordinatorTest::SetUp();
    // The bridge is process-wide: start each test with nothing loaded.
    (void)NativeDlib::load(home() + "/missing.dat");
    ASSERT_FALSE(NativeDlib::isLoaded());
  }
  int run() {
    out.str("");
    return diag::runDiagnoseCamera(argv(diag::kDiagnoseCameraSwitch), out);
  }
  std::ostringstream out;
};

TEST_F(CameraDiagnosticTest, NoWeightsAndNoFramesPrintsTheStateAndZerosAndExitsWithOne) {
  std::filesystem::remove(addDlibWeightsToBundle());
  simulatedCamera().setFrames({});
  EXPECT_EQ(run(), 1);
  EXPECT_EQ(now(), 4.0) << "the match test's own time limit";
  EXPECT_EQ(printedLines(out.str()),
            (std::vector<std::string>{
                "Camera authorised: true (authorized)",
                "Native dlib loaded: false",
                "Models loadFailed: true",
                "Enrolled for dlib (public domain): false",
                "Running a 4-second live test, using the real camera pipeline...",
                "--- result ---",
                "frames seen:        0",
                "frames with a face:  0",
                "best similarity:     0.0",
                "best liveness:       0.0",
                "would unlock:        false",
            }));
  EXPECT_EQ(simulatedApplication().policyRequests(), std::vector<std::string>{"regular"});
  EXPECT_TRUE(simulatedApplication().activations().empty());
}

TEST_F(CameraDiagnosticTest, AnEnrolledFaceIsMatchedAndReportedWithItsScoreAndLiveness) {
  setLiveness(0.75f);
  enrolAt(face, 0.25);
  (void)NativeDlib::load(home() + "/missing.dat");  // the diagnostic loads the weights itself
  play({face}, 2);
  EXPECT_EQ(run(), 0);
  const auto lines = printedLines(out.str());
  ASSERT_EQ(lines.size(), 11u) << out.str();
  EXPECT_EQ(lines[1], "Native dlib loaded: true") << "the weights load before the lines print";
  EXPECT_EQ(lines[2], "Models loadFailed: false");
  EXPECT_EQ(lines[3], "Enrolled for dlib (public domain): true");
  EXPECT_EQ(lines[5], "--- result ---");
  EXPECT_EQ(lines[6], "frames seen:        1");
  EXPECT_EQ(lines[7], "frames with a face:  1");
  EXPECT_NEAR(std::stod(lines[8].substr(21)), 0.25, 1e-6) << lines[8];
  EXPECT_NEAR(std::stod(lines[9].substr(21)), 0.75, 1e-6) << lines[9];
  EXPECT_EQ(lines[10], "would unlock:        true");
}

}  // namespace
}  // namespace quorvel::testing
