// The camera roads of the application on the Linux capture system, on recordings named in
// QUORVEL_CAMERA: enrolment from one person turning their head, then "--diagnose-camera" (the
// match test) on that person's other photos and on someone else's; and the open-hand cancel
// of an unlock attempt. Faces and hands are found by the real detectors (dlib, the shipped
// MediaPipe models), with the shipped liveness model; the rest is the simulated machine, in
// virtual time.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <sstream>

#include "app/diagnostics_camera.hpp"
#include "capture/recordings.hpp"
#include "coordinator/coordinator_fixture.hpp"
#include "diagcamera/diagcamera_support.hpp"
#include "onboarding/enrolment_model.hpp"
#include "platform/bundle/bundle.hpp"
#include "platform/vision/hand_pose.hpp"
#include "recognition/camera_session.hpp"
#include "recognition/face_detector.hpp"

namespace quorvel::testing {
namespace {

// Small frames keep the test quick. The 150-pixel photo fills the frame's height in the
// match test (the liveness model sees the middle square); the head scan leaves it room to turn.
constexpr int kWidth = 320, kHeight = 240;
constexpr double kScale = 1.6, kScanScale = 1.1;

class RecordedRoadTest : public CoordinatorTest {
 protected:
  void SetUp() override {
    CoordinatorTest::SetUp();
    useBuiltBundleAndRealRuntime();
    useRealFaceLandmarks();
    const auto& bundle = platform::bundle::Bundle::main();
    ASSERT_TRUE(bundle.url("HandPose", "") && bundle.url("MiniFAS", "mlpackage") &&
                bundle.url("dlib_face_recognition_resnet_model_v1", "dat"))
        << "run scripts/make-dlib-weights, then scripts/build, to fill " << builtBundlePath();
    platform::vision::installHandPoseDetector(std::make_shared<platform::vision::LinuxHandPoseDetector>());
    for (const std::string& path : johnsPhotos()) {
      people[std::filesystem::path(path).parent_path().filename().string()].push_back(path);
    }
  }
  void TearDown() override {
    forgetRecordedCamera();
    CoordinatorTest::TearDown();
  }

  // A head scan: the person's first photo looking straight, then turned towards each tick of
  // the enrolment ring, twice round. Stretching a frame vertically by s and turning it by
  // -phi moves the head direction (x, y) to (x, s y) turned by phi. The straight frame is
  // stretched a little (a tenth), so that "up" needs no more squeezing than "down" needs stretching;
  // each ring frame moves the direction `reach` from it towards its tick.
  std::vector<Frame> headScan(const std::string& person, double reach = 0.1) {
    const std::string photo = people[person].at(0);
    const auto direction = [&](const Frame& frame) -> std::optional<platform::Point> {
      const auto face = FaceDetector::shared().largestFace(frame);
      return face ? EnrolmentModel::headDirection(*face) : std::nullopt;
    };
    const auto own = direction(placedPhoto(photo, kWidth, kHeight, kScanScale));
    const Frame straight = placedPhoto(photo, kWidth, kHeight, kScanScale, {1, 0, 0, 1.1, 0, 0});
    const auto centre = direction(straight);
    EXPECT_TRUE(own && centre && own->y < -0.3) << "a frontal face, the nose below the eyes";
    if (!own || !centre) return {};
    std::vector<Frame> frames{straight, straight};
    for (int round = 0; round < EnrolmentModel::passes; ++round) {
      for (int tick = 0; tick < EnrolmentModel::tickCount; ++tick) {
        const double angle = tick * M_PI / 6;
        const double x = centre->x + reach * std::sin(angle), y = centre->y + reach * std::cos(angle);
        const double s = std::sqrt(std::max(0.0, x * x + y * y - own->x * own->x)) / -own->y;
        const double phi = std::atan2(y, x) - std::atan2(s * own->y, own->x);
        const double cs = std::cos(-phi), sn = std::sin(-phi);
        frames.push_back(placedPhoto(photo, kWidth, kHeight, kScanScale, {cs, sn, -s * sn, s * cs, 0, 0}));
      }
    }
    return frames;
  }

  // "--diagnose-camera" on the person's photos from the sixth on, a looping video at 4 frames
  // a second: its printed lines.
  std::vector<std::string> matchTest(const std::string& person) {
    std::vector<Frame> frames;
    for (std::size_t i = 5; i < people[person].size(); ++i) {
      frames.push_back(placedPhoto(people[person][i], kWidth, kHeight, kScale));
    }
    useRecordedCamera(writeVideo(frames, 4, home() + "/match.avi"), "1", "");
    std::ostringstream out;
    status = diagnostics::runDiagnoseCamera(argv(diagnostics::kDiagnoseCameraSwitch), out);
    return printedLines(out.str());
  }

  std::map<std::string, std::vector<std::string>> people;
  int status = -1;
};

TEST_F(RecordedRoadTest, AHeadScanEnrolsAndTheMatchTestKnowsThePersonAndNobodyElse) {
  std::filesystem::create_directories(home() + "/scan");
  useRecordedCamera(writeSequence(headScan("John_Salley"), home() + "/scan"), "0", "10");
  auto model = EnrolmentModel::make();
  model->start();
  scheduler().advanceUntil([&] { return model->finished.value() || model->failure.value(); }, 10);
  ASSERT_TRUE(model->finished.value()) << model->instruction.value() << "; ticks done: " << model->tickPasses.value().size();
  EXPECT_EQ(FaceprintStore::shared().enrolledCount(RecognitionEngine::dlib), 25u);

  auto lines = matchTest("John_Salley");
  ASSERT_EQ(lines.size(), 11u);
  EXPECT_EQ(lines[0], "Camera authorised: true (authorized)");
  EXPECT_EQ(lines[3], "Enrolled for dlib (public domain): true");
  EXPECT_EQ(lines[10], "would unlock:        true");
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(logs().contains("Camera configured: Recording match.avi"));

  // The coordinator keeps its camera for the life of the process: the next recording takes
  // the same file's place.
  lines = matchTest("John_Savage");
  ASSERT_EQ(lines.size(), 11u);
  EXPECT_EQ(lines[6], "frames seen:        15") << "0.25 s apart, up to 3.75 s";
  EXPECT_EQ(lines[7], "frames with a face:  15");
  EXPECT_GT(std::stod(lines[8].substr(21)), 0.6) << "far from every enrolled faceprint";
  EXPECT_EQ(lines[10], "would unlock:        false");
  EXPECT_EQ(status, 0);
}

// A recording of a face, a raised hand, the face again and then the hand held up twice.
TEST_F(RecordedRoadTest, OneHandFrameBetweenFacesIsSkippedTwoInARowCancelTheAttempt) {
  const Frame face = placedPhoto(johnsPhotos().at(0), kWidth, kHeight, kScale);
  // A woman raising her open hand beside her face, the 512-pixel photo the frame's height.
  const Frame hand = placedPhoto(QUORVEL_SOURCE_DIR "/tests/data/hands/pexels-natalie-3759656.jpg", kWidth,
                                 kHeight, kHeight / 512.0);
  ASSERT_TRUE(face && hand);
  enrolAt(face, 0.9);  // someone else: the face frames never unlock
  std::filesystem::create_directories(home() + "/hand");
  useRecordedCamera(writeSequence({face, hand, face, hand, hand}, home() + "/hand"), "0", "4");

  lockScreen();
  advance(1.0);  // four frames, 0.25 s apart
  EXPECT_TRUE(coordinator().isActive()) << "a face frame in between resets the count";
  EXPECT_EQ(coordinator().testResult().framesSeen, 4);
  EXPECT_EQ(coordinator().testResult().framesWithFace, 2) << "a hand frame, her face in it, is never scored";
  EXPECT_FALSE(logged("Open hand held up, cancelling this unlock attempt"));

  advance(0.25);
  EXPECT_FALSE(coordinator().isActive());
  EXPECT_EQ(coordinator().testResult().framesSeen, 5);
  EXPECT_EQ(countLogs("Open hand held up, cancelling this unlock attempt"), 1);
  EXPECT_FALSE(coordinator().hasSucceeded());
  EXPECT_TRUE(lockMachine().events().posted().empty());
  advance(3);
  EXPECT_EQ(overlayEvents(), (std::vector<std::string>{"scan", "palm", "message:Cancelled", "retract"}));
  EXPECT_TRUE(logs().contains("Camera configured: Recording frame%03d.png"));
}

}  // namespace
}  // namespace quorvel::testing
