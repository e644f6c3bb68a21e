// The camera session on the simulated camera, in virtual time.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

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

  int countOn(const std::string& label) {
    const auto ran = scheduler().ranOn();
    return static_cast<int>(std::count(ran.begin(), ran.end(), label));
  }

  std::vector<PixelBufferPtr> frames;
};

TEST_F(CameraSessionTest, StartsConfiguredForBGRAFramesAndLogsTheCamera) {
  auto session = CameraSession::create();
  EXPECT_FALSE(session->isRunning());
  EXPECT_EQ(startAndSettle(*session), std::vector<bool>{true});
  EXPECT_TRUE(session->isRunning());
  EXPECT_EQ(simulatedCamera().presetsSet(),
            std::vector<platform::capture::SessionPreset>{platform::capture::SessionPreset::high});
  const auto entries = logs().entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].message, "Camera configured: FaceTime HD Camera");
  EXPECT_EQ(entries[0].level, platform::log::Level::Info);
  EXPECT_EQ(entries[0].category, "face");
  // The work ran on the camera queue, then the completion on the main queue.
  const auto ran = scheduler().ranOn();
  ASSERT_GE(ran.size(), 2u);
  EXPECT_EQ(ran[0], "com.tessmin.quorvel.camera");
}

TEST_F(CameraSessionTest, FramesComeOnTheCameraQueueOnlyAfterStart) {
  auto session = CameraSession::create();
  std::vector<PixelBufferPtr> seen;
  session->onFrame = [&](const PixelBufferPtr& frame) {
    EXPECT_TRUE(scheduler().ranOn().back() == CameraSession::queueLabel);
    EXPECT_FALSE(platform::dispatch::isMainThread());
    seen.push_back(frame);
  };
  advance(1.0);
  EXPECT_TRUE(seen.empty());
  startAndSettle(*session);
  advance(0.35);  // frames at 0.1, 0.2 and 0.3 s after the start
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen, frames);
  for (const auto& f : seen) EXPECT_EQ(f->pixelFormat(), platform::image::kPixelFormat32BGRA);

  session->stop();
  advance(1.0);
  EXPECT_EQ(seen.size(), 3u);
  EXPECT_FALSE(session->isRunning());
}

TEST_F(CameraSessionTest, StartingTwiceNeitherReconfiguresNorRestarts) {
  auto session = CameraSession::create();
  EXPECT_EQ(startAndSettle(*session), std::vector<bool>{true});
  EXPECT_EQ(startAndSettle(*session), std::vector<bool>{true});
  EXPECT_EQ(simulatedCamera().presetsSet().size(), 1u);
  EXPECT_EQ(simulatedCamera().startsRequested(), 1);
  EXPECT_EQ(logs().messages().size(), 1u);

  // Stopped and started again: runs without configuring again.
  session->stop();
  runUntilIdle();
  EXPECT_FALSE(session->isRunning());
  EXPECT_EQ(startAndSettle(*session), std::vector<bool>{true});
  EXPECT_EQ(simulatedCamera().presetsSet().size(), 1u);
  EXPECT_EQ(simulatedCamera().startsRequested(), 2);
}

TEST_F(CameraSessionTest, StopRightAfterStartTakesEffectAfterTheStart) {
  auto session = CameraSession::create();
  std::vector<bool> results;
  session->start([&](bool running) { results.push_back(running); });
  session->stop();
  runUntilIdle();
  EXPECT_EQ(results, std::vector<bool>{true});
  EXPECT_FALSE(session->isRunning());
  EXPECT_EQ(simulatedCamera().startsRequested(), 1);
}

TEST_F(CameraSessionTest, StopOnANewObjectDoesNothing) {
  auto session = CameraSession::create();
  session->stop();
  runUntilIdle();
  EXPECT_FALSE(session->isRunning());
  EXPECT_EQ(simulatedCamera().startsRequested(), 0);
  EXPECT_EQ(countOn("com.apple.main-thread"), 0);
  EXPECT_TRUE(logs().messages().empty());
}

TEST_F(CameraSessionTest, AContinuityCameraIsNotTheBuiltInCamera) {
  simulatedCamera().setDevices({SimulatedCaptureSystem::continuityCameraDevice()});
  EXPECT_FALSE(CameraSession::builtInCamera());
  auto session = CameraSession::create();
  EXPECT_EQ(startAndSettle(*session), std::vector<bool>{false});
  const auto entries = logs().entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].message, "No built-in camera available");
  EXPECT_EQ(entries[0].level, platform::log::Level::Error);
  EXPECT_EQ(entries[0].category, "face");

  // The first non-continuity camera, in discovery order.
  auto built = SimulatedCaptureSystem::builtInCameraDevice();
  simulatedCamera().setDevices({SimulatedCaptureSystem::continuityCameraDevice(), built});
  EXPECT_EQ(CameraSession::builtInCamera(), built);
  // A failed configuration is tried again from the start.
  EXPECT_EQ(startAndSettle(*session), std::vector<bool>{true});
}

TEST_F(CameraSessionTest, AccessDenied) {
  simulatedCamera().setAuthorizationStatus(AuthorizationStatus::denied);
  EXPECT_FALSE(CameraSession::authorised());
  EXPECT_EQ(CameraSession::authorisationStatusDescription(), "denied — must be re-enabled in System Settings");
  auto session = CameraSession::create();
  EXPECT_EQ(startAndSettle(*session), std::vector<bool>{false});
  EXPECT_FALSE(session->isRunning());
  // Without access the camera's input cannot be made.
  EXPECT_EQ(logs().messages("face"), std::vector<std::string>{"No built-in camera available"});
}

// A camera whose input cannot be made counts as no camera: the same line, false, and the
// next start tries again.
TEST_F(CameraSessionTest, AnInputThatCannotBeMadeIsLoggedAsNoCamera) {
  simulatedCamera().setInputCreationFails(true);
  ASSERT_TRUE(CameraSession::builtInCamera());
  auto session = CameraSession::create();
  EXPECT_EQ(startAndSettle(*session), std::vector<bool>{false});
  const auto entries = logs().entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].message, "No built-in camera available");
  EXPECT_EQ(entries[0].level, platform::log::Level::Error);
  EXPECT_EQ(entries[0].category, "face");
  EXPECT_TRUE(simulatedCamera().presetsSet().empty());

  simulatedCamera().setInputCreationFails(false);
  EXPECT_EQ(startAndSettle(*session), std::vector<bool>{true});
}

TEST_F(CameraSessionTest, EveryAuthorisationStatusHasItsText) {
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
}

TEST_F(CameraSessionTest, TheAccessAnswerComesOnTheMainQueue) {
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

TEST_F(CameraSessionTest, RefusedInputOrOutputFailsWithoutALog) {
  simulatedCamera().setRefusesInput(true);
  auto session = CameraSession::create();
  EXPECT_EQ(startAndSettle(*session), std::vector<bool>{false});
  EXPECT_TRUE(logs().messages().empty());

  simulatedCamera().setRefusesInput(false);
  simulatedCamera().setRefusesOutput(true);
  EXPECT_EQ(startAndSettle(*session), std::vector<bool>{false});
  EXPECT_TRUE(logs().messages().empty());
  // The input was taken out again: once the output is accepted, configuring succeeds.
  simulatedCamera().setRefusesOutput(false);
  EXPECT_EQ(startAndSettle(*session), std::vector<bool>{true});
  EXPECT_EQ(logs().messages().size(), 1u);
}

TEST_F(CameraSessionTest, ASessionThatDoesNotRunCompletesWithFalse) {
  simulatedCamera().failNextStarts(1);
  auto session = CameraSession::create();
  EXPECT_EQ(startAndSettle(*session), std::vector<bool>{false});
  EXPECT_FALSE(session->isRunning());
  // It stays configured: the next start runs without configuring again.
  EXPECT_EQ(startAndSettle(*session), std::vector<bool>{true});
  EXPECT_EQ(simulatedCamera().presetsSet().size(), 1u);
  EXPECT_EQ(logs().messages().size(), 1u);
}

TEST_F(CameraSessionTest, ASampleWithoutAnImageIsSkipped) {
  auto session = CameraSession::create();
  int calls = 0;
  session->onFrame = [&](const PixelBufferPtr&) { ++calls; };
  platform::capture::VideoDataOutput output;
  session->captureOutput(output, platform::capture::SampleBuffer{nullptr, 1.0});
  EXPECT_EQ(calls, 0);
  session->captureOutput(output, platform::capture::SampleBuffer{frames[0], 1.0});
  EXPECT_EQ(calls, 1);
}

TEST_F(CameraSessionTest, WithoutAFrameHandlerFramesGoNowhere) {
  auto session = CameraSession::create();
  startAndSettle(*session);
  advance(0.55);
  EXPECT_EQ(simulatedCamera().framesDelivered(), 5);
  EXPECT_EQ(logs().messages().size(), 1u);
}

TEST_F(CameraSessionTest, ASlowHandlerMakesTheCameraDropFrames) {
  simulatedCamera().setHandlerDuration(0.25);  // 2.5 frame intervals
  auto session = CameraSession::create();
  int handled = 0;
  session->onFrame = [&](const PixelBufferPtr&) { ++handled; };
  startAndSettle(*session);
  advance(1.05);  // frames due at 0.1, 0.2, ..., 1.0
  EXPECT_EQ(handled, 4);  // 0.1, 0.4, 0.7, 1.0
  EXPECT_EQ(simulatedCamera().framesDropped(), 6);
}

TEST_F(CameraSessionTest, EverySessionObjectHasItsOwnQueueWithTheSameLabel) {
  auto first = CameraSession::create();
  auto second = CameraSession::create();
  int a = 0, b = 0;
  first->onFrame = [&](const PixelBufferPtr&) { ++a; };
  second->onFrame = [&](const PixelBufferPtr&) { ++b; };
  startAndSettle(*first);
  startAndSettle(*second);
  advance(0.25);
  EXPECT_EQ(a, 2);
  EXPECT_EQ(b, 2);
  EXPECT_EQ(simulatedCamera().sessionsMade(), 2);
}

}  // namespace
}  // namespace quorvel::testing

namespace quorvel::testing {
namespace {

// The same road on real threads: frames arrive off the main thread, the completion on it.
TEST_F(CameraSessionTest, RunsOnRealQueues) {
  platform::dispatch::install(platform::dispatch::makeRealScheduler());
  simulatedCamera().setFrameRate(100);
  auto session = CameraSession::create();
  // Shared with the handler: a frame already on its way when the session stops may still
  // be handled after this test has returned.
  struct Counts {
    std::atomic<int> frames{0};
    std::atomic<bool> offMain{true};
  };
  const auto counts = std::make_shared<Counts>();
  std::atomic<int>& frames = counts->frames;
  std::atomic<bool>& offMain = counts->offMain;
  session->onFrame = [counts](const PixelBufferPtr& frame) {
    if (platform::dispatch::isMainThread() || !frame) counts->offMain = false;
    ++counts->frames;
  };
  // The main loop looks at its condition when it has run something: keep it ticking.
  auto tick = platform::dispatch::Timer::scheduled(0.005, true, [](platform::dispatch::Timer&) {});
  std::optional<bool> started;
  bool completedOnMain = false;
  session->start([&](bool running) {
    completedOnMain = platform::dispatch::isMainThread();
    started = running;
  });
  EXPECT_TRUE(platform::dispatch::runMainLoopUntil([&] { return started && frames >= 5; }, 10));
  session->stop();
  EXPECT_TRUE(platform::dispatch::runMainLoopUntil([&] { return !session->isRunning(); }, 10));
  tick->invalidate();
  EXPECT_EQ(started, std::optional<bool>(true));
  EXPECT_TRUE(completedOnMain);
  EXPECT_TRUE(offMain);
  EXPECT_GE(frames.load(), 5);
}

}  // namespace
}  // namespace quorvel::testing
