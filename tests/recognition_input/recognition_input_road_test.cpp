// The road end to end on the simulated camera: photos played as frames, the largest face
// found on the camera queue, aligned, rendered for the dlib network, and the liveness tensor.
#include <gtest/gtest.h>

#include "platform/image/context.hpp"
#include "recognition/camera_session.hpp"
#include "recognition/face_aligner.hpp"
#include "recognition/face_detector.hpp"
#include "recognition/face_tensors.hpp"
#include "support/platform_fixture.hpp"
#include "support/recognition_input_hooks.hpp"

namespace quorvel::testing {
namespace {

using platform::capture::SimulatedCaptureSystem;

class RecognitionInputRoadTest : public PlatformTest {};

TEST_F(RecognitionInputRoadTest, PhotosFromTheCameraBecomeModelInputs) {
  useRealFaceLandmarks();
  const auto johns = johnsPhotos();
  auto frames = SimulatedCaptureSystem::loadFrames(
      {johns[0], johns[20], dlibExamplesFolder() + "/faces/dogs.jpg", johns[40],
       dlibExamplesFolder() + "/no/such/photo.jpg"});
  ASSERT_EQ(frames.size(), 4u);  // the missing file is left out
  simulatedCamera().setFrames(frames);
  simulatedCamera().setLoops(false);
  simulatedCamera().setFrameRate(5);

  struct Seen {
    bool face = false;
    std::optional<platform::image::Bitmap> crop;
    std::optional<platform::ml::MultiArray> liveness;
  };
  std::vector<Seen> seen;
  auto session = CameraSession::create();
  session->onFrame = [&](const std::shared_ptr<platform::image::PixelBuffer>& frame) {
    Seen s;
    if (const auto face = FaceDetector::shared().largestFace(frame)) {
      s.face = true;
      if (const auto aligned = FaceAligner::shared().alignedFace(frame, *face, FaceEngineSpec::dlib)) {
        s.crop = FaceAligner::shared().ciContext()->renderBitmap(
            *aligned, platform::Rect(0, 0, 150, 150), platform::image::BitmapFormat::RGB8);
      }
    }
    if (const auto square = FaceAligner::shared().wideSquare(frame)) {
      s.liveness = FaceTensors::shared().tensor(*square, 128, FaceTensors::Normalisation::unit());
    }
    seen.push_back(std::move(s));
  };
  bool started = false;
  session->start([&](bool running) { started = running; });
  advance(2.0);
  ASSERT_TRUE(started);
  ASSERT_EQ(seen.size(), 4u);
  const bool faces[4] = {true, true, false, true};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(seen[i].face, faces[i]) << i;
    EXPECT_EQ(seen[i].crop.has_value(), faces[i]) << i;
    ASSERT_TRUE(seen[i].liveness) << i;
    EXPECT_EQ(seen[i].liveness->count(), 3u * 128 * 128);
  }
  // The crop is a face, not an empty square: its middle is neither black nor uniform.
  const auto& crop = *seen[0].crop;
  int lit = 0;
  for (int y = 40; y < 110; ++y) {
    for (int x = 40; x < 110; ++x) lit += crop.pixel(x, y)[0] > 30;
  }
  EXPECT_GT(lit, 70 * 70 / 2);
  EXPECT_NE(crop.pixel(60, 60)[0], crop.pixel(75, 100)[0]);
  EXPECT_EQ(FaceTensors::shared().cachedBufferCount(), 1u);
}

}  // namespace
}  // namespace quorvel::testing
