#include "coordinator/coordinator_fixture.hpp"

#include <gtest/gtest.h>

#include <variant>

#include "platform/dispatch/dispatch.hpp"
#include "platform/vision/simulated_face_landmarks.hpp"
#include "recognition/face_detector.hpp"

namespace quorvel::testing {

using platform::vision::HandJointName;
using platform::vision::HumanHandPoseObservation;
using platform::vision::RecognizedPoints;
using platform::vision::SimulatedFaceLandmarksDetector;

HumanHandPoseObservation openHand() {
  RecognizedPoints points;
  const platform::Point wrist{0.5, 0.2};
  points[HandJointName::wrist] = {wrist, 0.9f};
  const HandJointName tips[] = {HandJointName::thumbTip, HandJointName::indexTip,
                                HandJointName::middleTip, HandJointName::ringTip,
                                HandJointName::littleTip};
  const HandJointName joints[] = {HandJointName::thumbIP, HandJointName::indexPIP,
                                  HandJointName::middlePIP, HandJointName::ringPIP,
                                  HandJointName::littlePIP};
  for (int i = 0; i < 5; ++i) {
    const double dx = (i - 2) * 0.03;
    points[tips[i]] = {{wrist.x + dx, wrist.y + 0.3}, 0.9f};
    points[joints[i]] = {{wrist.x + dx * 0.6, wrist.y + 0.18}, 0.9f};
  }
  return HumanHandPoseObservation(points);
}

void CoordinatorTest::SetUp() {
  PlatformTest::SetUp();
  rawEvents_.clear();
  lockMachine().setUserPassword(kPassword16);
  ASSERT_TRUE(PasswordVault::set(kPassword));
  addDlibWeightsToBundle();
  addBundleFolder("MiniFAS.mlpackage");
  setLiveness(0.9f);
  face = faceFrame(90);

  // The lock monitor's callbacks as the application sets them.
  LockMonitor& monitor = LockMonitor::shared();
  monitor.onLock = [] { UnlockCoordinator::shared().screenDidLock(); };
  monitor.onSleep = [] { UnlockCoordinator::shared().screenDidSleep(); };
  monitor.onUnlock = [] { UnlockCoordinator::shared().screenDidUnlock(); };
  monitor.onWake = [] { UnlockCoordinator::shared().screenDidLock(); };
  monitor.start();

  // The overlay's panel, made at launch, and a recorder of its animation model.
  LockScreenOverlay::shared().prepare();
  const auto numbers = machine().windows->windowNumbers();
  ASSERT_EQ(numbers.size(), 1u);
  auto* panel = machine().windows->panel(numbers.front());
  ASSERT_TRUE(panel && panel->contentView());
  const auto view = std::dynamic_pointer_cast<UnlockAnimationView>(panel->contentView()->rootView());
  ASSERT_TRUE(view);
  model_ = view->model();
  token_ = model_->subscribe([this](const platform::animation::Change& change) {
    std::string event;
    if (change.field == "panelProgress") {
      const double* value = std::get_if<double>(&change.newValue);
      if (value && *value == 1 && change.animation) event = "scan";
      if (value && *value == 0) event = change.animation ? "retract" : "reset";
    } else if (change.field == "tickProgress") {
      const double* value = std::get_if<double>(&change.newValue);
      if (value && *value == 1) event = "tick";
    } else if (change.field == "glyph") {
      const std::int64_t* value = std::get_if<std::int64_t>(&change.newValue);
      if (value && *value == static_cast<std::int64_t>(UnlockAnimationModel::Glyph::palm)) event = "palm";
    } else if (change.field == "message") {
      if (const std::string* text = std::get_if<std::string>(&change.newValue)) event = "message:" + *text;
    }
    if (!event.empty()) rawEvents_.push_back(event);
  });
}

void CoordinatorTest::TearDown() {
  if (model_) model_->unsubscribe(token_);
  model_.reset();
  PlatformTest::TearDown();
}

std::vector<std::string> CoordinatorTest::overlayEvents() const {
  // A reset that starts a scan, or ends a retraction, is part of that step; any other reset
  // is the overlay taken down at once.
  std::vector<std::string> events;
  for (std::size_t i = 0; i < rawEvents_.size(); ++i) {
    if (rawEvents_[i] != "reset") {
      events.push_back(rawEvents_[i]);
      continue;
    }
    const bool startsScan = i + 1 < rawEvents_.size() && rawEvents_[i + 1] == "scan";
    const bool endsRetract = i > 0 && rawEvents_[i - 1] == "retract";
    if (!startsScan && !endsRetract) events.push_back("hide");
  }
  return events;
}

Frame CoordinatorTest::faceFrame(int shade, double yaw, double pitch, bool landmarks) {
  const std::uint8_t v = static_cast<std::uint8_t>(shade);
  Frame frame = platform::capture::SimulatedCaptureSystem::generatedFrame(
      640, 480, platform::image::Color{v / 255.0, (255 - v) / 255.0, 0.5, 1.0});
  auto face = SimulatedFaceLandmarksDetector::frontalFace(platform::Rect(0.3, 0.25, 0.4, 0.5), yaw, pitch);
  if (!landmarks) face.landmarks.reset();
  simulatedFaceLandmarks().script(frame, std::vector<platform::vision::FaceObservation>{face});
  return frame;
}

Frame CoordinatorTest::emptyFrame(int shade) {
  const double v = shade / 255.0;
  Frame frame = platform::capture::SimulatedCaptureSystem::generatedFrame(
      640, 480, platform::image::Color{v, v, v, 1.0});
  simulatedFaceLandmarks().script(frame, std::vector<platform::vision::FaceObservation>{});
  return frame;
}

FaceDescriptor CoordinatorTest::descriptorOf(const Frame& frame) {
  const auto face = FaceDetector::shared().largestFace(frame);
  EXPECT_TRUE(face);
  if (!face) return {};
  const auto aligned = FaceAligner::shared().alignedFace(frame, *face, FaceEngineSpec::dlib);
  EXPECT_TRUE(aligned);
  if (!aligned) return {};
  const auto descriptor =
      FaceModels::shared().embedding(*aligned, FaceEngineSpec::dlib, *FaceAligner::shared().ciContext());
  EXPECT_TRUE(descriptor) << "no dlib descriptor: run scripts/make-dlib-weights";
  return descriptor.value_or(FaceDescriptor{});
}

void CoordinatorTest::enrolAt(const Frame& frame, double distance) {
  FaceDescriptor enrolled = descriptorOf(frame);
  ASSERT_EQ(enrolled.size(), 128u);
  enrolled[0] += static_cast<float>(distance);
  ASSERT_TRUE(FaceprintStore::shared().replaceEnrolled({enrolled}, RecognitionEngine::dlib));
}

void CoordinatorTest::play(std::vector<Frame> frames, double fps) {
  simulatedCamera().setFrameRate(fps);
  simulatedCamera().setFrames(std::move(frames));
}

void CoordinatorTest::setLiveness(float probability) {
  // Two logits whose softmax gives `probability` to the first.
  simulatedML().addModel("MiniFAS.mlpackage",
                         std::vector<float>{std::log(probability), std::log(1 - probability)});
}

void CoordinatorTest::answerLiveness(std::function<std::optional<float>()> answer) {
  simulatedML().addModel("MiniFAS.mlpackage", [answer = std::move(answer)](const platform::ml::FeatureProvider&)
                                                  -> platform::ml::Result<platform::ml::FeatureProvider> {
    const std::optional<float> p = answer();
    if (!p) return platform::ml::Error{platform::ml::ErrorCode::generic, "no prediction"};
    auto logits = platform::ml::MultiArray::make({1, 2});
    (*logits)[0] = std::log(*p);
    (*logits)[1] = std::log(1 - *p);
    platform::ml::FeatureProvider out;
    out.set("output", std::move(*logits));
    return out;
  });
}

void CoordinatorTest::lockScreen() {
  lockMachine().lock();
  runUntilIdle();
}

void CoordinatorTest::lockFacing(const Frame& frame, double distance) {
  enrolAt(frame, distance);
  play({frame}, 2);
  lockScreen();
}

void CoordinatorTest::unlockByUser() {
  lockMachine().unlockByUser();
  runUntilIdle();
}

int CoordinatorTest::countLogs(const std::string& line) {
  int count = 0;
  for (const auto& message : unlockLogs()) count += message == line;
  return count;
}

platform::log::Level CoordinatorTest::levelOf(const std::string& line) {
  for (const auto& entry : logs().entries()) {
    if (entry.message == line) return entry.level;
  }
  ADD_FAILURE() << "not logged: " << line;
  return platform::log::Level::Default;
}

}  // namespace quorvel::testing
