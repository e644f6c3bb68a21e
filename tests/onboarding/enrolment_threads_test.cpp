// The enrolment scan on real threads: frames are handled on the camera queue's own thread
// while the main thread runs the bookkeeping. When the main thread falls behind, the camera
// queue acts on counts that are out of date and captures a tick more often than planned;
// every descriptor held when the bookkeeping catches up is stored.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>

#include "foundation/faceprint_store.hpp"
#include "onboarding/enrolment_model.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "recognition/camera_session.hpp"
#include "support/face_models_hooks.hpp"
#include "support/platform_fixture.hpp"
#include "support/recognition_input_hooks.hpp"

namespace quorvel::testing {
namespace {

using platform::Point;
using platform::vision::FaceLandmarkRegion;
using platform::vision::FaceLandmarks;
using platform::vision::FaceObservation;

constexpr double kPi = 3.14159265358979323846;

FaceObservation faceAt(Point direction) {
  FaceLandmarks landmarks;
  landmarks.rightEye = FaceLandmarkRegion{{{0.25, 0.0}}};
  landmarks.leftEye = FaceLandmarkRegion{{{0.75, 0.0}}};
  landmarks.nose = FaceLandmarkRegion{{{0.5 - direction.x * 0.5, direction.y * 0.5}}};
  landmarks.outerLips = FaceLandmarkRegion{{{0.3, -0.6}, {0.5, -0.7}, {0.7, -0.6}}};
  FaceObservation face;
  face.boundingBox = platform::Rect(0.3, 0.55, 0.4, 0.3);
  face.landmarks = landmarks;
  return face;
}

Point towardsTick(int index) {
  return {0.15 * std::sin(index * kPi / 6), 0.15 * std::cos(index * kPi / 6)};
}

class EnrolmentThreadsTest : public PlatformTest {};

TEST_F(EnrolmentThreadsTest, ExtraCapturesMadeWhileTheMainThreadLagsAreAllStored) {
  addDlibWeightsToBundle();
  platform::dispatch::install(platform::dispatch::makeRealScheduler());
  simulatedCamera().setFrames(
      {platform::capture::SimulatedCaptureSystem::generatedFrame(320, 240, {0.6, 0.5, 0.4, 1})});
  simulatedCamera().setFrameRate(50);
  // The main loop looks at its condition when it has run something: keep it ticking.
  auto ticking = platform::dispatch::Timer::scheduled(0.005, true, [](platform::dispatch::Timer&) {});
  const auto pose = [](Point direction) {
    simulatedFaceLandmarks().setDefault(std::vector{faceAt(direction)});
  };
  const auto passesOf = [](const EnrolmentModel& model, int tick) {
    const auto& passes = model.tickPasses.value();
    const auto found = passes.find(tick);
    return found == passes.end() ? 0 : found->second;
  };

  auto model = EnrolmentModel::make();
  pose({0, 0});
  model->start();
  ASSERT_TRUE(platform::dispatch::runMainLoopUntil([&] { return model->centreCaptured.value(); }, 20));
  for (int i = 0; i < 12; ++i) {
    pose(towardsTick(i));
    ASSERT_TRUE(platform::dispatch::runMainLoopUntil([&] { return passesOf(*model, i) >= 1; }, 20)) << i;
  }
  for (int i = 1; i < 12; ++i) {
    pose(towardsTick(i));
    ASSERT_TRUE(platform::dispatch::runMainLoopUntil([&] { return passesOf(*model, i) >= 2; }, 20)) << i;
  }
  ASSERT_EQ(std::lround(model->progress() * 25), 24);

  // The last tick while the main thread is busy elsewhere for a while.
  // It comes back once the camera queue has captured that tick twice more.
  pose(towardsTick(0));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::lround(model->progress() * 25) < 26 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(platform::dispatch::runMainLoopUntil(
      [&] { return model->finished.value() && !model->camera()->isRunning(); }, 20));
  // Let any bookkeeping still queued run.
  platform::dispatch::runMainLoopUntil([] { return false; }, 0.2);
  ticking->invalidate();

  const long held = std::lround(model->progress() * 25);
  EXPECT_GT(held, 25);
  EXPECT_EQ(passesOf(*model, 0), held - 23);
  EXPECT_EQ(FaceprintStore::shared().enrolledCount(RecognitionEngine::dlib),
            static_cast<std::size_t>(held));
  EXPECT_EQ(model->instruction.value(), "All done");
  EXPECT_FALSE(model->isRunning());
}

}  // namespace
}  // namespace quorvel::testing
