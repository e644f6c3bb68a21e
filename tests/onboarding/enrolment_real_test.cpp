// The head direction on real faces (dlib's landmarks of the example photos), and a scan's
// centre sample taken from a real photo through the real detector, aligner and network
// (the converted weights; a missing file fails the test).
#include <gtest/gtest.h>

#include <cmath>

#include "foundation/recognition_engine.hpp"
#include "onboarding/enrolment_model.hpp"
#include "recognition/face_aligner.hpp"
#include "recognition/face_detector.hpp"
#include "recognition/face_models.hpp"
#include "support/face_models_hooks.hpp"
#include "support/platform_fixture.hpp"
#include "support/recognition_input_hooks.hpp"

namespace quorvel::testing {
namespace {

class EnrolmentRealTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    useRealFaceLandmarks();
  }
};

TEST_F(EnrolmentRealTest, HeadDirectionFollowsTheTurnOfRealFacesAndMirrorsWithTheImage) {
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

    const auto flipped = mirrored(*photo);
    const auto mirroredFace = FaceDetector::shared().largestFace(flipped);
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

TEST_F(EnrolmentRealTest, ARealFaceGivesTheCentreSampleAndHoldingStillNoMore) {
  addDlibWeightsToBundle();
  const auto photos = johnsPhotos();
  ASSERT_FALSE(photos.empty());
  const auto frame = examplePhoto(photos[0].substr(dlibExamplesFolder().size() + 1));
  ASSERT_TRUE(frame);
  simulatedCamera().setFrames({frame});
  simulatedCamera().setFrameRate(10);

  auto model = EnrolmentModel::make();
  model->start();
  runUntilIdle();
  advance(0.1);
  ASSERT_TRUE(model->centreCaptured.value());
  EXPECT_TRUE(model->faceVisible.value());
  EXPECT_EQ(model->instruction.value(), "Slowly move your head in a circle");
  EXPECT_NEAR(model->progress(), 1.0 / 25, 1e-12);
  ASSERT_TRUE(model->preview.value());
  EXPECT_EQ(model->preview.value()->width, 420);
  // Holding still gives no ring sample.
  advance(2);
  EXPECT_NEAR(model->progress(), 1.0 / 25, 1e-12);
  model->stop();
  runUntilIdle();
}

}  // namespace
}  // namespace quorvel::testing
