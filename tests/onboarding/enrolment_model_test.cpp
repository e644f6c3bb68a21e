// The enrolment scan on the simulated camera in virtual time: scripted faces whose nose
// position drives the head direction, the real aligner and the real dlib network on
// generated frames, and the faceprint store on the simulated keychain and files. Also the
// head direction of real faces, and a scan on real threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "foundation/build_flavour.hpp"
#include "foundation/faceprint_store.hpp"
#include "foundation/settings.hpp"
#include "onboarding/enrolment_model.hpp"
#include "platform/capture/capture.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "recognition/camera_session.hpp"
#include "recognition/face_aligner.hpp"
#include "recognition/face_detector.hpp"
#include "recognition/face_models.hpp"
#include "support/face_models_hooks.hpp"
#include "support/models_hooks.hpp"
#include "support/platform_fixture.hpp"
#include "support/recognition_input_hooks.hpp"
#include "support/storage_hooks.hpp"

namespace quorvel::testing {
namespace {

using platform::Point;
using platform::capture::AuthorizationStatus;
using platform::capture::SimulatedCaptureSystem;
using platform::vision::FaceLandmarkRegion;
using platform::vision::FaceLandmarks;
using platform::vision::FaceObservation;

constexpr double kPi = 3.14159265358979323846;
constexpr double kFrameInterval = 0.05;  // 20 frames a second
constexpr int kColours = 5;

// A face whose eyes sit 0.5 apart on the line y = 0 of its landmark plane, so that a nose at
// (0.5 - x/2, y/2) gives exactly the head direction (x, y).
FaceObservation faceAt(Point direction) {
  return {.boundingBox = platform::Rect(0.3, 0.55, 0.4, 0.3),
          .landmarks = FaceLandmarks{
              .nose = FaceLandmarkRegion{{{0.5 - direction.x * 0.5, direction.y * 0.5}}},
              .leftEye = FaceLandmarkRegion{{{0.75, 0.0}}},
              .rightEye = FaceLandmarkRegion{{{0.25, 0.0}}},
              .outerLips = FaceLandmarkRegion{{{0.3, -0.6}, {0.5, -0.7}, {0.7, -0.6}}}}};
}

Point towardsTick(int index, double length = 0.15) {
  return {length * std::sin(index * kPi / 6), length * std::cos(index * kPi / 6)};
}

class EnrolmentTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    weights = addDlibWeightsToBundle();
    for (int i = 0; i < kColours; ++i) {
      const double v = 0.15 + 0.17 * i;
      frames.push_back(SimulatedCaptureSystem::generatedFrame(320, 240, {v, 1 - v, 0.4, 1}));
    }
    simulatedCamera().setFrames(frames);
    simulatedCamera().setFrameRate(1 / kFrameInterval);
    noFace();
  }

  void pose(Point direction) { simulatedFaceLandmarks().setDefault(std::vector{faceAt(direction)}); }
  void poseFace(const FaceObservation& face) { simulatedFaceLandmarks().setDefault(std::vector{face}); }
  void noFace() { simulatedFaceLandmarks().setDefault(std::vector<FaceObservation>{}); }

  std::shared_ptr<EnrolmentModel> startedModel() {
    auto model = EnrolmentModel::make();
    model_ = model;
    model->start();
    runUntilIdle();
    return model;
  }

  int captures(const EnrolmentModel& model) {
    return static_cast<int>(std::lround(model.progress() * EnrolmentModel::sampleTarget));
  }

  // Holds the head at `direction` until a frame is captured, or for 0.3 s when none is.
  // Returns the colour of the frame seen last.
  int hold(Point direction) {
    pose(direction);
    const int before = captures(*model_);
    scheduler().advanceUntil([&] { return captures(*model_) > before; }, 0.3);
    const int colour = (simulatedCamera().framesDelivered() - 1) % kColours;
    runUntilIdle();
    return colour;
  }

  // The whole scan: the centre, then both passes around the ring, tick by tick. Records the
  // colour of each captured frame.
  void scanEverything(EnrolmentModel& model) {
    const auto record = [&](Point direction) {
      const int before = captures(model);
      const int colour = hold(direction);
      if (captures(model) == before + 1) capturedColours.push_back(colour);
    };
    record({0, 0});
    for (int round = 0; round < 2; ++round) {
      for (int i = 0; i < 12; ++i) record(towardsTick(i));
    }
  }

  std::vector<platform::log::Entry> faceErrors() {
    std::vector<platform::log::Entry> errors;
    for (const auto& entry : logs().entries()) {
      if (entry.category == "face" && entry.level == platform::log::Level::Error) {
        errors.push_back(entry);
      }
    }
    return errors;
  }

  void expectFailed(const EnrolmentModel& model, const std::string& text) {
    EXPECT_EQ(model.failure.value(), std::optional<std::string>(text));
    EXPECT_EQ(model.instruction.value(), text);
    EXPECT_FALSE(model.isRunning());
    EXPECT_FALSE(model.finished.value());
    const auto errors = faceErrors();
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors.back().message, "Enrolment failed: " + text);
  }

  std::shared_ptr<EnrolmentModel> model_;  // the one `hold` watches
  std::string weights;
  std::vector<std::shared_ptr<platform::image::PixelBuffer>> frames;
  std::vector<int> capturedColours;
};

// ---- The geometry the scan and the self-test rely on ----------------------------------------

// The formula itself is followed exactly by every scripted face of the road tests below.
TEST(EnrolmentGeometry, HeadDirectionNeedsTheEyesApartAndUsesTheRegionMeans) {
  EXPECT_FALSE(EnrolmentModel::headDirection(Point{0.5001, 0.5}, Point{0.5, 0.5}, Point{0.5, 0.3}));
  EXPECT_TRUE(EnrolmentModel::headDirection(Point{0.5002, 0.5}, Point{0.5, 0.5}, Point{0.5, 0.3}));

  // Of an observation: the means of its regions, each of which must be there.
  FaceObservation face = faceAt({0.2, -0.1});
  face.landmarks->nose = FaceLandmarkRegion{{{0.3, 0.0}, {0.5, -0.1}}};  // mean (0.4, -0.05)
  const auto direction = EnrolmentModel::headDirection(face);
  ASSERT_TRUE(direction);
  EXPECT_NEAR(direction->x, 0.2, 1e-12);
  EXPECT_NEAR(direction->y, -0.1, 1e-12);
  face.landmarks->leftEye = FaceLandmarkRegion{};
  EXPECT_FALSE(EnrolmentModel::headDirection(face));
  face.landmarks.reset();
  EXPECT_FALSE(EnrolmentModel::headDirection(face));
}

// All twelve ticks over a full turn of the head: the nearest tick is the one at the least
// true angle, distances are never negative, and a tick 0.28 rad or more away is not lit, on
// the left as on the right. Emphasis grows with the reach up to the ring's threshold.
TEST(EnrolmentGeometry, EveryTickOverAFullSweepOfDirections) {
  // Exactly half-way rounds away from zero.
  const double half = kPi / 12;
  EXPECT_EQ(EnrolmentModel::nearestTick({std::sin(half), std::cos(half)})->index, 1);
  EXPECT_EQ(EnrolmentModel::nearestTick({-std::sin(half), std::cos(half)})->index, 11);
  EXPECT_FALSE(EnrolmentModel::nearestTick({1e-6, 0}));
  EXPECT_TRUE(EnrolmentModel::nearestTick({2e-6, 0}));
  EXPECT_DOUBLE_EQ(EnrolmentModel::tickEmphasis(3, {0.06, 0}), 1);
  EXPECT_NEAR(EnrolmentModel::tickEmphasis(3, {0.03, 0}), 0.5, 1e-12);
  EXPECT_EQ(EnrolmentModel::tickEmphasis(0, {0, 0}), 0);
  EXPECT_EQ(EnrolmentModel::tickEmphasis(0, {0, std::numeric_limits<double>::infinity()}), 0);
  EXPECT_EQ(EnrolmentModel::tickEmphasis(0, {0, std::nan("")}), 0);

  for (int k = 0; k <= 3600; ++k) {
    const double a = -kPi + 2 * kPi * k / 3600;
    const Point direction{0.1 * std::sin(a), 0.1 * std::cos(a)};
    const auto nearest = EnrolmentModel::nearestTick(direction);
    ASSERT_TRUE(nearest);
    ASSERT_GE(nearest->index, 0);
    ASSERT_LT(nearest->index, EnrolmentModel::tickCount);
    for (int i = 0; i < EnrolmentModel::tickCount; ++i) {
      const double d = std::acos(std::clamp(std::cos(a - i * kPi / 6), -1.0, 1.0));
      const double e = EnrolmentModel::tickEmphasis(i, direction);
      ASSERT_NEAR(e, std::max(0.0, 1 - d / 0.28), 1e-9) << "tick " << i << " at " << a;
      ASSERT_GE(d, nearest->distance - 1e-12) << "tick " << i << " at " << a;
      if (i == nearest->index) {
        ASSERT_NEAR(nearest->distance, d, 1e-9) << "at " << a;
      }
    }
  }
}

// ---- The whole road ---------------------------------------------------------------------------

// A full scan replaces the engine's faceprints; one whose save fails keeps them and only says so.
TEST_F(EnrolmentTest, AFullScanReplacesTheEnginesFaceprintsInCaptureOrderAndAFailedSaveKeepsThem) {
  auto& store = FaceprintStore::shared();
  store.add({1, 2, 3}, FaceprintStore::Source::learned, RecognitionEngine::dlib);
  store.add({4, 5, 6}, FaceprintStore::Source::enrolled, RecognitionEngine::dlib);
  store.add({7, 8}, FaceprintStore::Source::enrolled, RecognitionEngine::arcface);

  auto model = startedModel();
  scanEverything(*model);
  runUntilIdle();

  EXPECT_TRUE(model->finished.value());
  EXPECT_EQ(model->instruction.value(), "All done");
  EXPECT_FALSE(model->failure.value());
  EXPECT_FALSE(model->isRunning());
  EXPECT_FALSE(model->camera()->isRunning());
  EXPECT_EQ(model->pass.value(), 2);
  EXPECT_DOUBLE_EQ(model->progress(), 1.0);
  for (int i = 0; i < 12; ++i) EXPECT_EQ(model->tickPasses.value().at(i), 2) << i;

  ASSERT_EQ(capturedColours.size(), 25u);
  const auto stored = store.vectors(RecognitionEngine::dlib);
  ASSERT_EQ(stored.size(), 25u);
  EXPECT_EQ(store.enrolledCount(RecognitionEngine::dlib), 25u);
  EXPECT_EQ(store.vectors(RecognitionEngine::arcface),
            (std::vector<std::vector<float>>{{7, 8}}));
  // Each is the descriptor the road gives for its frame.
  std::vector<std::vector<float>> byColour;
  for (const auto& frame : frames) {
    const auto aligned = FaceAligner::shared().alignedFace(frame, faceAt({0, 0}), FaceEngineSpec::dlib);
    ASSERT_TRUE(aligned);
    const auto descriptor =
        FaceModels::shared().embedding(*aligned, FaceEngineSpec::dlib, *FaceAligner::shared().ciContext());
    ASSERT_TRUE(descriptor && descriptor->size() == 128);
    byColour.push_back(*descriptor);
  }
  for (std::size_t k = 0; k < stored.size(); ++k) {
    ASSERT_EQ(stored[k].size(), 128u);
    double distance = 0;
    for (std::size_t j = 0; j < 128; ++j) distance += std::pow(stored[k][j] - byColour[capturedColours[k]][j], 2);
    EXPECT_LT(std::sqrt(distance), 1e-4) << "capture " << k;
  }
  // Frames after the end change nothing.
  advance(2);
  EXPECT_EQ(store.vectors(RecognitionEngine::dlib), stored);
  EXPECT_TRUE(faceErrors().empty());

  // The scan again, with a save that fails: what the store holds stays.
  store.add({9}, FaceprintStore::Source::learned, RecognitionEngine::dlib);
  const auto held = store.vectors(RecognitionEngine::dlib);
  simulatedFiles().failWrites(platform::files::SimulatedFileSystem::WriteFault::refuse);
  model->start();
  scanEverything(*model);
  runUntilIdle();
  EXPECT_EQ(model->instruction.value(),
            "Could not save your face. Close setup and try again after allowing Keychain access.");
  EXPECT_FALSE(model->finished.value());
  EXPECT_FALSE(model->failure.value());
  EXPECT_FALSE(model->isRunning());
  // The store reports its own trouble; the scan logs no failure of its own.
  for (const auto& e : faceErrors()) EXPECT_EQ(e.message.rfind("Enrolment failed", 0), std::string::npos);
  simulatedFiles().clearFaults();
  EXPECT_EQ(store.vectors(RecognitionEngine::dlib), held);
}

TEST_F(EnrolmentTest, TheSelectedEngineDescribesTheSamplesAndReceivesThem) {
  addBundleFolder("VavozuDare.mlpackage");
  simulatedML().addModel("VavozuDare.mlpackage", std::vector<float>{3, 4});
  Settings::shared().setRecognitionEngine(RecognitionEngine::arcface);
  auto& store = FaceprintStore::shared();
  store.add({9}, FaceprintStore::Source::enrolled, RecognitionEngine::dlib);
  store.add({1, 0}, FaceprintStore::Source::learned, RecognitionEngine::arcface);

  auto model = startedModel();
  scanEverything(*model);
  runUntilIdle();
  ASSERT_TRUE(model->finished.value());
  if (BuildFlavour::isDeveloper) {
    // The recognition model's output, normalised, for every sample; dlib's faceprints stay.
    EXPECT_EQ(simulatedML().predictionCount("VavozuDare.mlpackage"), 25);
    EXPECT_EQ(store.vectors(RecognitionEngine::arcface),
              std::vector<std::vector<float>>(25, std::vector<float>{0.6f, 0.8f}));
    EXPECT_EQ(store.enrolledCount(RecognitionEngine::arcface), 25u);
    EXPECT_EQ(store.vectors(RecognitionEngine::dlib), (std::vector<std::vector<float>>{{9}}));
  } else {
    // A customer build cannot select the developer engine: dlib describes and receives them.
    EXPECT_EQ(simulatedML().predictionCount("VavozuDare.mlpackage"), 0);
    EXPECT_EQ(store.enrolledCount(RecognitionEngine::dlib), 25u);
    EXPECT_EQ(store.vectors(RecognitionEngine::dlib).front().size(), 128u);
    EXPECT_EQ(store.vectors(RecognitionEngine::arcface), (std::vector<std::vector<float>>{{1, 0}}));
  }
}

TEST_F(EnrolmentTest, PromptsAndPassesFollowTheRingAndRingSamplesNeedMoreThanTheThreshold) {
  auto model = startedModel();
  EXPECT_EQ(model->instruction.value(), "Look straight at the camera");
  pose({0, 0});
  advance(kFrameInterval);
  EXPECT_TRUE(model->centreCaptured.value());
  EXPECT_TRUE(model->faceVisible.value());
  EXPECT_EQ(model->instruction.value(), "Slowly move your head in a circle");
  EXPECT_EQ(captures(*model), 1);
  // Straight ahead again: no further centre sample, no ring sample.
  advance(1);
  EXPECT_EQ(captures(*model), 1);

  hold({0, 0.06});  // exactly the threshold: no sample
  EXPECT_EQ(captures(*model), 1);
  EXPECT_EQ(model->direction.value(), (Point{0, 0.06}));
  hold({0, 0.0602});
  EXPECT_EQ(captures(*model), 2);
  // Nearly half-way between two ticks, 0.257 rad from the nearer one: still inside the
  // tolerance, which no direction can exceed.
  const double between = 4.49 * kPi / 6;
  hold({0.2 * std::sin(between), 0.2 * std::cos(between)});
  EXPECT_EQ(model->tickPasses.value(), (EnrolmentModel::TickPasses{{0, 1}, {4, 1}}));
  EXPECT_EQ(model->pass.value(), 1);
  EXPECT_EQ(model->instruction.value(), "Slowly move your head in a circle");

  // The other way round works too; tick 4, done in this pass, is not captured again.
  for (int i = 11; i >= 1; --i) hold(towardsTick(i));
  EXPECT_EQ(captures(*model), 13);
  EXPECT_EQ(model->pass.value(), 2);
  EXPECT_EQ(model->instruction.value(), "Once more around");
  hold(towardsTick(5));
  EXPECT_EQ(model->tickPasses.value().at(5), 2);
  EXPECT_EQ(model->instruction.value(), "Once more around");
  EXPECT_EQ(model->pass.value(), 2);
}

// ---- Published fields and their transactions --------------------------------------------------

TEST_F(EnrolmentTest, TicksEaseInTheRestChangesAtOnceAndTheDirectionOnlyPastItsStep) {
  auto model = startedModel();
  std::vector<platform::animation::Change> changes;
  model->subscribe([&](const platform::animation::Change& c) { changes.push_back(c); });
  pose({0, 0});
  advance(kFrameInterval);
  hold(towardsTick(2));
  // The ring turns green, the head is followed and the preview shown at once; a tick and what
  // its bookkeeping changes ease in.
  std::map<std::string, platform::animation::Change> last;
  for (const auto& c : changes) {
    last.insert_or_assign(c.field, c);
    if (c.field != "tickPasses" && c.field != "instruction" && c.field != "pass") {
      EXPECT_FALSE(c.animation) << c.field;
    }
  }
  ASSERT_TRUE(last.count("centreCaptured") && last.count("tickPasses") && last.count("preview"));
  EXPECT_EQ(last.at("tickPasses").animation, platform::animation::Animation::easeOut(0.2));
  EXPECT_EQ(last.at("tickPasses").newValue, platform::animation::RecordedValue(std::string("{2: 1}")));
  EXPECT_EQ(last.at("preview").newValue, platform::animation::RecordedValue(std::string("420x315")));

  // The direction is published again only when it moves more than the step.
  const Point held = model->direction.value();
  changes.clear();
  const auto directionChanges = [&] {
    return std::count_if(changes.begin(), changes.end(), [](const auto& c) { return c.field == "direction"; });
  };
  pose({held.x + 0.003, held.y});
  advance(0.5);
  EXPECT_EQ(directionChanges(), 0);
  EXPECT_EQ(model->direction.value(), held);
  pose({held.x + 0.0045, held.y});
  advance(0.5);
  EXPECT_EQ(directionChanges(), 1);
  EXPECT_NEAR(model->direction.value().x, held.x + 0.0045, 1e-12);
}

// ---- Faces that do not count ------------------------------------------------------------------

TEST_F(EnrolmentTest, FacesWithoutEyesNoseOrLipsNeverCaptureNorFail) {
  auto model = startedModel();
  advance(0.3);
  EXPECT_FALSE(model->faceVisible.value());
  EXPECT_EQ(model->instruction.value(), "Move into frame");

  FaceObservation noNose = faceAt({0, 0});
  noNose.landmarks->nose.reset();
  FaceObservation tooClose = faceAt({0, 0});
  tooClose.landmarks->leftEye = FaceLandmarkRegion{{{0.2501, 0.0}}};  // 0.0001 apart
  for (const auto& face : {noNose, tooClose}) {
    poseFace(face);
    advance(0.3);
    EXPECT_FALSE(model->faceVisible.value());
  }
  // A face without lips is seen but cannot be aligned: it is tried again at the next frame.
  FaceObservation noLips = faceAt({0, 0});
  noLips.landmarks->outerLips.reset();
  poseFace(noLips);
  advance(0.3);
  EXPECT_TRUE(model->faceVisible.value());
  EXPECT_EQ(captures(*model), 0);
  EXPECT_FALSE(model->centreCaptured.value());
  EXPECT_EQ(model->instruction.value(), "Move into frame");
  EXPECT_FALSE(model->failure.value());
  EXPECT_TRUE(model->isRunning());
  pose({0, 0});
  advance(kFrameInterval);
  EXPECT_EQ(captures(*model), 1);

  // Once a capture was made, a face lost leaves the prompt alone.
  poseFace(tooClose);
  model->instruction = "Look straight at the camera";
  advance(0.3);
  EXPECT_FALSE(model->faceVisible.value());
  EXPECT_EQ(model->instruction.value(), "Look straight at the camera");
  EXPECT_EQ(captures(*model), 1);
}

TEST_F(EnrolmentTest, AModelThatCannotLoadCapturesNothingUntilItCan) {
  std::filesystem::remove(weights);
  auto model = startedModel();
  pose({0, 0});
  advance(0.5);
  EXPECT_EQ(captures(*model), 0);
  EXPECT_FALSE(model->centreCaptured.value());
  EXPECT_FALSE(model->failure.value());
  EXPECT_TRUE(model->isRunning());
  EXPECT_TRUE(FaceModels::shared().loadFailed());
  // Only the model host's own line, never an enrolment failure.
  for (const auto& e : faceErrors()) EXPECT_EQ(e.message.rfind("Enrolment failed", 0), std::string::npos);

  addDlibWeightsToBundle();
  advance(kFrameInterval);
  EXPECT_EQ(captures(*model), 1);
  EXPECT_TRUE(model->centreCaptured.value());
}

// ---- Failures ---------------------------------------------------------------------------------

TEST_F(EnrolmentTest, EveryWayTheCameraCannotStartFailsTheScanOnce) {
  const char* const off =
      "Camera access is off for Quorvel. Turn it on in System Settings \u2192 Privacy & Security \u2192 Camera.";
  const struct {
    AuthorizationStatus status;
    bool failsToStart;
    int asked, started;
    const char* text;
  } cases[] = {
      {AuthorizationStatus::denied, false, 0, 0, off},
      {AuthorizationStatus::restricted, false, 0, 0, off},
      {static_cast<AuthorizationStatus>(7), false, 0, 0, "Camera access is unavailable."},
      {AuthorizationStatus::notDetermined, false, 1, 0, "Camera access was declined."},
      {AuthorizationStatus::authorized, true, 0, 1,
       "The camera would not start. Close anything else using it, then try again."},
  };
  simulatedCamera().setAccessAnswer(false);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    simulatedCamera().setAuthorizationStatus(c.status);
    simulatedCamera().setFailsToStart(c.failsToStart);
    const int asked = simulatedCamera().accessRequests(), started = simulatedCamera().startsRequested();
    const std::size_t errors = faceErrors().size();
    auto model = startedModel();
    expectFailed(*model, c.text);
    EXPECT_EQ(simulatedCamera().accessRequests() - asked, c.asked);
    EXPECT_EQ(simulatedCamera().startsRequested() - started, c.started);
    advance(10);  // no watchdog was left behind
    EXPECT_EQ(faceErrors().size(), errors + 1);
  }
}

TEST_F(EnrolmentTest, AGrantStartsTheCameraUnlessTheScanStoppedMeanwhile) {
  simulatedCamera().setAuthorizationStatus(AuthorizationStatus::notDetermined);
  simulatedCamera().setAccessAnswer(true);
  auto left = EnrolmentModel::make();
  left->start();
  left->stop();  // the step is left while the question is open
  runUntilIdle();
  advance(5);
  EXPECT_EQ(simulatedCamera().startsRequested(), 0);
  EXPECT_FALSE(left->camera()->isRunning());
  EXPECT_FALSE(left->failure.value());

  simulatedCamera().setAuthorizationStatus(AuthorizationStatus::notDetermined);
  auto granted = startedModel();
  EXPECT_EQ(simulatedCamera().accessRequests(), 2);
  EXPECT_EQ(simulatedCamera().startsRequested(), 1);
  EXPECT_TRUE(granted->isRunning());
  EXPECT_FALSE(granted->failure.value());
  pose({0, 0});
  advance(kFrameInterval);
  EXPECT_TRUE(granted->centreCaptured.value());
}

TEST_F(EnrolmentTest, TheWatchdogFailsTheScanWhenFramesStopForMoreThanThreeSeconds) {
  simulatedCamera().setLoops(false);  // five frames, the last at 0.25 s
  auto model = startedModel();
  pose({0, 0});
  advance(3.9);  // the tick at 2 s saw a frame 1.75 s old
  EXPECT_TRUE(model->isRunning());
  EXPECT_FALSE(model->failure.value());
  advance(0.2);  // the tick at 4 s: 3.75 s
  expectFailed(*model,
               "The camera stopped sending images. Close anything else using it, then try again.");
  EXPECT_FALSE(model->camera()->isRunning());
  advance(10);
  EXPECT_EQ(faceErrors().size(), 1u);
}

TEST_F(EnrolmentTest, AHandlingSlowerThanTheWatchdogsLimitIsNoStoppedCameraWhileFramesKeepComing) {
  auto model = startedModel();
  pose({0, 0});
  // The first frame's face search takes 4.5 s; the camera goes on delivering meanwhile.
  simulatedFaceLandmarks().runDuringNextRequest([&] { scheduler().advance(4.5); });
  advance(kFrameInterval);
  runUntilIdle();
  EXPECT_TRUE(model->isRunning());
  EXPECT_FALSE(model->failure.value());
  EXPECT_EQ(captures(*model), 1);
}

// ---- Stopping, restarting and stale work -------------------------------------------------------

TEST_F(EnrolmentTest, StopMidScanEndsCapturesAndTheCameraAndLeavesTheStoreAlone) {
  auto model = startedModel();
  pose({0, 0});
  advance(kFrameInterval);
  hold(towardsTick(0));
  hold(towardsTick(1));
  ASSERT_EQ(captures(*model), 3);
  model->stop();
  runUntilIdle();
  EXPECT_FALSE(model->isRunning());
  EXPECT_FALSE(model->camera()->isRunning());
  const int delivered = simulatedCamera().framesDelivered();
  hold(towardsTick(2));
  advance(10);  // no watchdog either
  EXPECT_EQ(simulatedCamera().framesDelivered(), delivered);
  EXPECT_EQ(captures(*model), 3);
  EXPECT_FALSE(model->failure.value());
  EXPECT_EQ(FaceprintStore::shared().count(), 0u);
  model->stop();  // stopping again is harmless
  runUntilIdle();
}

TEST_F(EnrolmentTest, StartWhileRunningDoesNothingAndAfterAnEndStartsAfresh) {
  auto model = startedModel();
  pose({0, 0});
  advance(kFrameInterval);
  hold(towardsTick(4));
  model->start();
  runUntilIdle();
  EXPECT_EQ(captures(*model), 2);
  EXPECT_EQ(simulatedCamera().startsRequested(), 1);
  EXPECT_TRUE(model->centreCaptured.value());

  // Finished, then again from the start.
  scanEverything(*model);
  ASSERT_TRUE(model->finished.value());
  model->start();
  EXPECT_FALSE(model->finished.value());
  EXPECT_FALSE(model->centreCaptured.value());
  EXPECT_TRUE(model->tickPasses.value().empty());
  EXPECT_EQ(model->pass.value(), 1);
  EXPECT_EQ(model->instruction.value(), "Look straight at the camera");
  EXPECT_EQ(model->progress(), 0);
  EXPECT_TRUE(model->preview.value());  // the preview stays until the next frame
  runUntilIdle();
  // The first frame comes 0.05 s after the last capture of the finished scan: too soon. The
  // next one is the centre, whatever the direction: the old baseline is gone.
  pose({0.3, 0.2});  // far off straight
  advance(kFrameInterval);
  EXPECT_FALSE(model->centreCaptured.value());
  advance(kFrameInterval);
  EXPECT_TRUE(model->centreCaptured.value());
  // That face is the new baseline: holding it reads as straight ahead, so no ring sample, and
  // a turn relative to it reaches tick 3.
  advance(1);
  EXPECT_EQ(captures(*model), 1);
  EXPECT_EQ(model->direction.value(), (Point{0, 0}));
  hold({0.3 + 0.15, 0.2});
  EXPECT_EQ(model->tickPasses.value(), (EnrolmentModel::TickPasses{{3, 1}}));

  // After a failure too.
  model->stop();
  simulatedCamera().setFailsToStart(true);
  model->start();
  runUntilIdle();
  ASSERT_TRUE(model->failure.value());
  simulatedCamera().setFailsToStart(false);
  model->start();
  EXPECT_FALSE(model->failure.value());
  EXPECT_EQ(model->instruction.value(), "Look straight at the camera");
  runUntilIdle();
  EXPECT_TRUE(model->isRunning());
}

// The camera sends nothing: the test hands the frames in.
TEST_F(EnrolmentTest, WithNoFrameTheWatchdogWaitsAndAFrameArrivingWhileOneIsHandledIsDropped) {
  simulatedCamera().setFrames({});
  auto model = startedModel();
  advance(30);  // with no frame ever the watchdog never fails
  EXPECT_TRUE(model->isRunning());
  EXPECT_FALSE(model->failure.value());
  EXPECT_TRUE(faceErrors().empty());

  pose({0, 0});
  simulatedFaceLandmarks().runDuringNextRequest([&] { model->handleFrame(frames[1]); });
  model->handleFrame(frames[0]);
  runUntilIdle();
  EXPECT_EQ(simulatedFaceLandmarks().requestCount(), 1);
  EXPECT_EQ(captures(*model), 1);
  // Once the handling ended, frames are taken again.
  advance(0.1);
  pose(towardsTick(3));
  model->handleFrame(frames[2]);
  runUntilIdle();
  EXPECT_EQ(simulatedFaceLandmarks().requestCount(), 2);
  EXPECT_EQ(captures(*model), 2);
}

TEST_F(EnrolmentTest, ACaptureFromAScanRestartedMeanwhileIsNotCounted) {
  auto model = startedModel();
  // The step is left and entered again while a frame is being handled: that frame and its
  // bookkeeping belong to the old scan.
  const auto restart = [&] {
    model->stop();
    model->start();
  };
  pose({0, 0});
  simulatedFaceLandmarks().runDuringNextRequest(restart);
  advance(kFrameInterval);
  runUntilIdle();
  EXPECT_FALSE(model->centreCaptured.value());
  EXPECT_EQ(captures(*model), 0);
  EXPECT_TRUE(model->isRunning());
  advance(2 * kFrameInterval);
  EXPECT_TRUE(model->centreCaptured.value());
  EXPECT_EQ(captures(*model), 1);

  // The same during a ring capture.
  pose(towardsTick(4));
  simulatedFaceLandmarks().runDuringNextRequest(restart);
  advance(kFrameInterval);
  runUntilIdle();
  EXPECT_EQ(captures(*model), 0);
  EXPECT_FALSE(model->centreCaptured.value());
  EXPECT_TRUE(model->tickPasses.value().empty());
}

TEST_F(EnrolmentTest, AModelDroppedWhileRunningTakesTheCameraOffQuietly) {
  auto running = startedModel();
  pose({0, 0});
  advance(kFrameInterval);
  const auto camera = running->camera();
  ASSERT_TRUE(camera->isRunning());
  running.reset();
  model_.reset();
  runUntilIdle();
  EXPECT_FALSE(camera->isRunning());
  advance(10);
  EXPECT_TRUE(faceErrors().empty());
}

// ---- Real faces and real threads ---------------------------------------------------------------

TEST_F(EnrolmentTest, HeadDirectionFollowsTheTurnOfRealFacesAndMirrorsWithTheImage) {
  useRealFaceLandmarks();
  int turned = 0, seen = 0;
  for (const auto& path : johnsPhotos()) {
    const auto photo = examplePhoto(path.substr(dlibExamplesFolder().size() + 1));
    ASSERT_TRUE(photo);
    const auto face = FaceDetector::shared().largestFace(photo);
    if (!face) continue;
    ++seen;
    const auto direction = EnrolmentModel::headDirection(*face);
    ASSERT_TRUE(direction) << path;
    // The nose lies below the eyes, about half an eye distance or more.
    EXPECT_LT(direction->y, -0.3) << path;

    const auto mirroredFace = FaceDetector::shared().largestFace(mirrored(*photo));
    ASSERT_TRUE(mirroredFace) << path;
    const auto mirroredDirection = EnrolmentModel::headDirection(*mirroredFace);
    ASSERT_TRUE(mirroredDirection) << path;
    EXPECT_NEAR(mirroredDirection->x, -direction->x, 0.08) << path;
    EXPECT_NEAR(mirroredDirection->y, direction->y, 0.08) << path;

    // A face turned so that its nose points to the image's right has its direction to the
    // left (negative x), and the other way round.
    if (face->yaw && std::fabs(*face->yaw) > 0.15) {
      ++turned;
      EXPECT_LT(direction->x * *face->yaw, 0) << path << " yaw " << *face->yaw;
    }
  }
  EXPECT_GT(seen, 40);
  EXPECT_GT(turned, 3);
}

// Frames are handled on the camera queue's own thread while the main thread runs the
// bookkeeping. When the main thread falls behind, the camera queue acts on counts that are
// out of date and captures a tick more often than planned; every descriptor held when the
// bookkeeping catches up is stored.
TEST_F(EnrolmentTest, OnRealThreadsExtraCapturesMadeWhileTheMainThreadLagsAreAllStored) {
  namespace dispatch = platform::dispatch;
  dispatch::install(dispatch::makeRealScheduler());
  simulatedCamera().setFrames({frames[2]});
  simulatedCamera().setFrameRate(50);
  // The main loop looks at its condition when it has run something: keep it ticking.
  auto ticking = dispatch::Timer::scheduled(0.005, true, [](dispatch::Timer&) {});
  const auto passesOf = [](const EnrolmentModel& model, int tick) {
    const auto found = model.tickPasses.value().find(tick);
    return found == model.tickPasses.value().end() ? 0 : found->second;
  };

  // Up to the last tick one capture at a time: a single frame shows the face, more than a
  // capture interval after the capture before, so none is taken twice however late the main
  // thread comes to its bookkeeping.
  const auto captureOnce = [&](Point direction, const std::function<bool()>& booked) {
    dispatch::runMainLoopUntil([] { return false; }, EnrolmentModel::captureInterval * 1.5);
    simulatedFaceLandmarks().enqueue(std::vector{faceAt(direction)});
    return dispatch::runMainLoopUntil(booked, 20);
  };
  auto model = EnrolmentModel::make();
  model->start();
  ASSERT_TRUE(captureOnce({0, 0}, [&] { return model->centreCaptured.value(); }));
  for (int i = 0; i < 12; ++i) {
    ASSERT_TRUE(captureOnce(towardsTick(i), [&] { return passesOf(*model, i) >= 1; })) << i;
  }
  for (int i = 1; i < 12; ++i) {
    ASSERT_TRUE(captureOnce(towardsTick(i), [&] { return passesOf(*model, i) >= 2; })) << i;
  }
  ASSERT_EQ(captures(*model), 24);

  // The last tick while the main thread is busy elsewhere for a while. It comes back once
  // the camera queue has captured that tick twice more.
  pose(towardsTick(0));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (captures(*model) < 26 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(dispatch::runMainLoopUntil(
      [&] { return model->finished.value() && !model->camera()->isRunning(); }, 20));
  // The bookkeeping catches up with every capture held.
  const int held = captures(*model);
  EXPECT_TRUE(dispatch::runMainLoopUntil([&] { return passesOf(*model, 0) == held - 23; }, 20))
      << passesOf(*model, 0) << " passes of the last tick for " << held << " captures";
  ticking->invalidate();

  EXPECT_GT(held, 25);
  EXPECT_EQ(FaceprintStore::shared().enrolledCount(RecognitionEngine::dlib), static_cast<std::size_t>(held));
  EXPECT_EQ(model->instruction.value(), "All done");
  EXPECT_FALSE(model->isRunning());
}

}  // namespace
}  // namespace quorvel::testing
