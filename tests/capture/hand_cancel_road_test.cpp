// The open-hand cancel of an unlock attempt on the Linux capture and hand-pose systems: a
// recording of a face, a raised hand, the face again and then the hand held up twice. Faces
// and hands are found by the real detectors (dlib, the shipped MediaPipe models); the lock
// machine is the simulated one, in virtual time.
#include <gtest/gtest.h>

#include <filesystem>

#include "capture/recordings.hpp"
#include "coordinator/coordinator_fixture.hpp"
#include "platform/vision/hand_pose.hpp"

namespace quorvel::testing {
namespace {

class HandCancelRoadTest : public CoordinatorTest {
 protected:
  void SetUp() override {
    CoordinatorTest::SetUp();
    useBuiltBundleAndRealRuntime();
    useRealFaceLandmarks();
    ASSERT_TRUE(platform::bundle::Bundle::main().url("HandPose", "") &&
                platform::bundle::Bundle::main().url("dlib_face_recognition_resnet_model_v1", "dat"))
        << "run scripts/make-dlib-weights, then scripts/build, to fill " << builtBundlePath();
    platform::vision::installHandPoseDetector(std::make_shared<platform::vision::LinuxHandPoseDetector>());
  }
  void TearDown() override {
    forgetRecordedCamera();
    CoordinatorTest::TearDown();
  }
};

TEST_F(HandCancelRoadTest, OneHandFrameBetweenFacesIsSkippedTwoInARowCancel) {
  const Frame face = placedPhoto(johnsPhotos().at(0), 320, 240, 1.6);
  // A woman raising her open hand beside her face, the 512-pixel photo the frame's height.
  const Frame hand =
      placedPhoto(QUORVEL_SOURCE_DIR "/tests/data/hands/pexels-natalie-3759656.jpg", 320, 240, 240.0 / 512);
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
