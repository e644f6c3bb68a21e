// The unlock road on real photos: dlib's example portraits (examples/johns) placed in 720p
// camera frames and handled by the real detector (its landmarks through the gaze gate),
// aligner, dlib network and the shipped liveness model, on the simulated lock machine. One
// person is enrolled from five photos; the camera then shows the same person's other photos
// (two of the six pass the liveness model, which reads these tight portraits enlarged to the
// whole square; all are within 0.31 of the enrolment). That another person's photos match
// nobody is the whole camera road's test (tests/capture).
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>

#include "coordinator/coordinator_fixture.hpp"
#include "platform/bundle/bundle.hpp"
#include "platform/image/context.hpp"
#include "platform/image/image.hpp"
#include "platform/image/image_io.hpp"

namespace quorvel::testing {
namespace {

class RealPhotosRoadTest : public CoordinatorTest {
 protected:
  void SetUp() override {
    CoordinatorTest::SetUp();
    useBuiltBundleAndRealRuntime();
    useRealFaceLandmarks();
    ASSERT_TRUE(platform::bundle::Bundle::main().url("MiniFAS", "mlpackage"))
        << "build the project (scripts/build) to fill " << builtBundlePath();
    ASSERT_TRUE(platform::bundle::Bundle::main().url("dlib_face_recognition_resnet_model_v1", "dat"))
        << "run scripts/make-dlib-weights, then scripts/build";
    for (const std::string& path : johnsPhotos()) {
      people[std::filesystem::path(path).parent_path().filename().string()].push_back(path);
    }
    ASSERT_EQ(people.size(), 5u);
  }

  // A 1280 x 720 frame with the 150 x 150 photo enlarged to 720 x 720 in its middle, so that
  // the frame's wide square (the liveness model's view) is the photo itself.
  static Frame cameraFrame(const std::string& path) {
    const auto photo = platform::image::readImageFile(path);
    EXPECT_TRUE(photo) << path;
    if (!photo) return nullptr;
    const double scale = 4.8;
    const auto placed = platform::image::Image::fromPixelBuffer(photo)
                            .scaledBy(scale, scale)
                            .translatedBy((1280 - photo->width() * scale) / 2,
                                          (720 - photo->height() * scale) / 2);
    auto frame = platform::image::PixelBuffer::create(1280, 720);
    platform::image::Context({.highQualityDownsample = true})
        .render(placed, *frame, platform::Rect(0, 0, 1280, 720), platform::image::ColorSpace::sRGB());
    return frame;
  }

  std::map<std::string, std::vector<std::string>> people;
};

TEST_F(RealPhotosRoadTest, TheEnrolledPersonUnlocksTheScreen) {
  // The first five photos enrolled as the enrolment would: faces found, aligned and described
  // from camera frames. The camera shows the others.
  const std::vector<std::string>& photos = people["John_Salley"];
  std::vector<FaceDescriptor> descriptors;
  for (std::size_t i = 0; i < 5; ++i) descriptors.push_back(descriptorOf(cameraFrame(photos[i])));
  for (const auto& d : descriptors) ASSERT_EQ(d.size(), 128u);
  ASSERT_TRUE(FaceprintStore::shared().replaceEnrolled(descriptors, RecognitionEngine::dlib));
  std::vector<Frame> frames;
  for (std::size_t i = 5; i < photos.size(); ++i) frames.push_back(cameraFrame(photos[i]));
  play(frames, 2);
  lockScreen();
  ASSERT_TRUE(coordinator().isActive());
  ASSERT_TRUE(scheduler().advanceUntil([this] { return coordinator().hasSucceeded(); }, 20));
  // The close match is learned: five enrolled prints and one learned.
  EXPECT_EQ(FaceprintStore::shared().count(), 6u);
  std::string match;
  for (const auto& line : unlockLogs()) {
    if (line.rfind("Match: ", 0) == 0) match = line;
  }
  EXPECT_FALSE(match.empty());
  std::printf("%s after %.1f s\n", match.c_str(), now());
  advance(0.4);
  EXPECT_EQ(lockMachine().unlocksByLoginWindow(), 1);
  EXPECT_FALSE(lockMachine().sessionLocked());
  EXPECT_EQ(lockMachine().loginFieldText(), u"");
  advance(3);
  EXPECT_EQ(overlayEvents(), (std::vector<std::string>{"scan", "tick", "retract"}));
  EXPECT_FALSE(FaceModels::shared().loadFailed());
  EXPECT_EQ(simulatedML().loadAttempts().size(), 0u) << "the shipped liveness model ran";
}

}  // namespace
}  // namespace quorvel::testing
