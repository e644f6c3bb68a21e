// The camera session on the simulated camera, in virtual time.
#include <gtest/gtest.h>

#include "recognition/camera_session.hpp"
#include "support/platform_fixture.hpp"
#include "support/recognition_input_hooks.hpp"

namespace quorvel::testing {
namespace {

using platform::capture::AuthorizationStatus;
using platform::capture::SimulatedCaptureSystem;
using PixelBufferPtr = std::shared_ptr<platform::image::PixelBuffer>;

class CameraSessionTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    frames = {SimulatedCaptureSystem::generatedFrame(64, 48, {1, 0, 0, 1}),
              SimulatedCaptureSystem::generatedFrame(64, 48, {0, 1, 0, 1}),
              SimulatedCaptureSystem::generatedFrame(64, 48, {0, 0, 1, 1})};
    simulatedCamera().setFrames(frames);
    simulatedCamera().setFrameRate(10);
  }

  // Starts `session` and returns the completions seen (on the main queue) after settling.
  std::vector<bool> startAndSettle(CameraSession& session) {
    std::vector<bool> results;
    session.start([this, &results](bool running) {
      EXPECT_TRUE(platform::dispatch::isMainThread());
      EXPECT_TRUE(scheduler().ranOn().back() == "com.apple.main-thread");
      results.push_back(running);
    });
    runUntilIdle();
    return results;
  }

  std::vector<PixelBufferPtr> frames;
};

TEST_F(CameraSessionTest, StartsConfiguredAndDeliversFramesOnTheCameraQueueUntilStopped) {
  auto session = CameraSession::create();
  std::vector<PixelBufferPtr> seen;
  session->onFrame = [&](const PixelBufferPtr& frame) {
    EXPECT_TRUE(scheduler().ranOn().back() == CameraSession::queueLabel);
    EXPECT_FALSE(platform::dispatch::isMainThread());
    seen.push_back(frame);
  };
  advance(1.0);
  EXPECT_TRUE(seen.empty());
  EXPECT_FALSE(session->isRunning());
  EXPECT_EQ(startAndSettle(*session), std::vector<bool>{true});
  EXPECT_TRUE(session->isRunning());
  EXPECT_EQ(simulatedCamera().presetsSet(),
            std::vector<platform::capture::SessionPreset>{platform::capture::SessionPreset::high});
  expectSingleLog(platform::log::Level::Info, "face", "Camera configured: FaceTime HD Camera");
  // The work ran on the camera queue, then the completion on the main queue.
  EXPECT_EQ(scheduler().ranOn().at(0), "com.tessmin.quorvel.camera");

  advance(0.35);  // frames at 0.1, 0.2 and 0.3 s after the start
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen, frames);
  for (const auto& f : seen) EXPECT_EQ(f->pixelFormat(), platform::image::kPixelFormat32BGRA);
  session->stop();
  advance(1.0);
  EXPECT_EQ(seen.size(), 3u);
  EXPECT_FALSE(session->isRunning());

  // Started again: runs without configuring again; starting twice neither reconfigures nor
  // restarts.
  EXPECT_EQ(startAndSettle(*session), std::vector<bool>{true});
  EXPECT_EQ(startAndSettle(*session), std::vector<bool>{true});
  EXPECT_EQ(simulatedCamera().presetsSet().size(), 1u);
  EXPECT_EQ(simulatedCamera().startsRequested(), 2);
  EXPECT_EQ(logs().messages().size(), 1u);
}

TEST_F(CameraSessionTest, StopOnANewObjectDoesNothingAndRightAfterStartComesAfterTheStart) {
  auto session = CameraSession::create();
  session->stop();
  runUntilIdle();
  EXPECT_FALSE(session->isRunning());
  EXPECT_EQ(simulatedCamera().startsRequested(), 0);
  EXPECT_TRUE(scheduler().ranOn() == std::vector<std::string>{CameraSession::queueLabel});
  EXPECT_TRUE(logs().messages().empty());

  std::vector<bool> results;
  session->start([&](bool running) { results.push_back(running); });
  session->stop();
  runUntilIdle();
  EXPECT_EQ(results, std::vector<bool>{true});
  EXPECT_FALSE(session->isRunning());
  EXPECT_EQ(simulatedCamera().startsRequested(), 1);
}

// Each way a start can fail completes with false (and the no-camera line where there is no
// camera to use); once the fault is gone the next start configures and runs.
TEST_F(CameraSessionTest, AFailedStartCompletesWithFalseAndTheNextStartTriesAgain) {
  auto& camera = simulatedCamera();
  const auto built = SimulatedCaptureSystem::builtInCameraDevice();
  const std::string noCamera = "No built-in camera available";
  const struct {
    const char* what;
    std::function<void()> fault, mend;
    std::vector<std::string> logged;  // by the failed start
  } cases[] = {
      {"only a continuity camera", [&] { camera.setDevices({SimulatedCaptureSystem::continuityCameraDevice()}); },
       // The first non-continuity camera, in discovery order.
       [&] { camera.setDevices({SimulatedCaptureSystem::continuityCameraDevice(), built}); }, {noCamera}},
      // Without access the camera's input cannot be made.
      {"access denied", [&] { camera.setAuthorizationStatus(AuthorizationStatus::denied); },
       [&] { camera.setAuthorizationStatus(AuthorizationStatus::authorized); }, {noCamera}},
      {"an input that cannot be made", [&] { camera.setInputCreationFails(true); },
       [&] { camera.setInputCreationFails(false); }, {noCamera}},
      {"input refused", [&] { camera.setRefusesInput(true); }, [&] { camera.setRefusesInput(false); }, {}},
      // The input is taken out again: once the output is accepted, configuring succeeds.
      {"output refused", [&] { camera.setRefusesOutput(true); }, [&] { camera.setRefusesOutput(false); }, {}},
      // It stays configured: the next start runs without configuring again.
      {"a session that does not run", [&] { camera.failNextStarts(1); }, [] {},
       {"Camera configured: FaceTime HD Camera"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    logs().clear();
    c.fault();
    const auto presets = camera.presetsSet().size();
    EXPECT_EQ(CameraSession::builtInCamera().has_value(), std::string(c.what) != "only a continuity camera");
    auto session = CameraSession::create();
    EXPECT_EQ(startAndSettle(*session), std::vector<bool>{false});
    EXPECT_FALSE(session->isRunning());
    EXPECT_EQ(logs().messages("face"), c.logged);
    for (const auto& entry : logs().entries()) {
      EXPECT_EQ(entry.level, entry.message == noCamera ? platform::log::Level::Error : platform::log::Level::Info);
    }
    if (c.logged == std::vector<std::string>{noCamera}) {
      EXPECT_EQ(camera.presetsSet().size(), presets);  // nothing configured without an input
    }
    c.mend();
    EXPECT_EQ(CameraSession::builtInCamera(), built);
    EXPECT_EQ(startAndSettle(*session), std::vector<bool>{true});
    EXPECT_EQ(logs().messages("face").back(), "Camera configured: FaceTime HD Camera");
    session->stop();
    runUntilIdle();
  }
}

TEST_F(CameraSessionTest, EveryAuthorisationStatusHasItsTextAndTheAccessAnswerComesOnTheMainQueue) {
  const std::pair<int, const char*> table[] = {
      {0, "not yet asked"},
      {1, "restricted by a system policy (e.g. parental controls, MDM)"},
      {2, "denied — must be re-enabled in System Settings"},
      {3, "authorized"},
      {7, "unknown"}};
  for (const auto& [raw, text] : table) {
    simulatedCamera().setAuthorizationStatus(static_cast<AuthorizationStatus>(raw));
    EXPECT_EQ(CameraSession::authorisationStatusDescription(), text);
    EXPECT_EQ(CameraSession::authorised(), raw == 3);
  }

  simulatedCamera().setAuthorizationStatus(AuthorizationStatus::notDetermined);
  simulatedCamera().setAccessAnswer(false);
  std::vector<bool> answers;
  CameraSession::requestAccess([&](bool granted) {
    EXPECT_EQ(scheduler().ranOn().back(), "com.apple.main-thread");
    answers.push_back(granted);
  });
  EXPECT_TRUE(answers.empty());
  runUntilIdle();
  EXPECT_EQ(answers, std::vector<bool>{false});
  EXPECT_EQ(CameraSession::authorisationStatusDescription(), "denied — must be re-enabled in System Settings");
}

// Two session objects, each with its own capture session: the one without a handler drops
// its frames, the other gets its own; a sample without an image reaches no handler.
TEST_F(CameraSessionTest, EverySessionObjectCapturesOnItsOwnAndSamplesWithoutAnImageGoNowhere) {
  auto first = CameraSession::create();
  auto second = CameraSession::create();
  int b = 0;
  second->onFrame = [&](const PixelBufferPtr&) { ++b; };
  startAndSettle(*first);
  startAndSettle(*second);
  advance(0.25);
  EXPECT_EQ(b, 2);
  EXPECT_EQ(simulatedCamera().framesDelivered(), 4);
  EXPECT_EQ(simulatedCamera().sessionsMade(), 2);
  EXPECT_EQ(logs().messages().size(), 2u);

  int a = 0;
  first->onFrame = [&](const PixelBufferPtr&) { ++a; };
  platform::capture::VideoDataOutput output;
  first->captureOutput(output, platform::capture::SampleBuffer{nullptr, 1.0});
  EXPECT_EQ(a, 0);
  first->captureOutput(output, platform::capture::SampleBuffer{frames[0], 1.0});
  EXPECT_EQ(a, 1);
}

}  // namespace
}  // namespace quorvel::testing
