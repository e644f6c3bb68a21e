// Finding the largest face: scripted observations for the rules, real photos for the detector.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <numeric>
#include <algorithm>
#include <tuple>

#include "platform/image/context.hpp"
#include "platform/image/image_io.hpp"
#include "platform/vision/face_landmarks.hpp"
#include "recognition/face_detector.hpp"
#include "recognition_input/image_helpers.hpp"
#include "support/platform_fixture.hpp"
#include "support/recognition_input_hooks.hpp"

namespace quorvel::testing {
namespace {

using platform::Rect;
using platform::vision::FaceLandmarksError;
using platform::vision::FaceObservation;
using platform::vision::SimulatedFaceLandmarksDetector;

class FaceDetectorTest : public PlatformTest {
 protected:
  std::shared_ptr<platform::image::PixelBuffer> frame =
      makeBuffer(64, 48, [](int, int) { return BGRA{90, 90, 90, 255}; });

  static FaceObservation face(Rect box) { return SimulatedFaceLandmarksDetector::frontalFace(box); }
};

TEST_F(FaceDetectorTest, TheLargestAreaWinsAndTiesKeepTheFirst) {
  simulatedFaceLandmarks().enqueue(std::vector<FaceObservation>{
      face(Rect(0.0, 0.0, 0.2, 0.2)), face(Rect(0.5, 0.5, 0.3, 0.3)), face(Rect(0.1, 0.6, 0.3, 0.3))});
  auto best = FaceDetector::shared().largestFace(frame);
  ASSERT_TRUE(best);
  EXPECT_EQ(best->boundingBox, Rect(0.5, 0.5, 0.3, 0.3));

  // Wider but less tall, and smaller in area: loses.
  simulatedFaceLandmarks().enqueue(std::vector<FaceObservation>{
      face(Rect(0.0, 0.0, 0.6, 0.1)), face(Rect(0.5, 0.5, 0.3, 0.3))});
  best = FaceDetector::shared().largestFace(frame);
  ASSERT_TRUE(best);
  EXPECT_EQ(best->boundingBox, Rect(0.5, 0.5, 0.3, 0.3));

  // A later face wins only when strictly larger.
  simulatedFaceLandmarks().enqueue(std::vector<FaceObservation>{
      face(Rect(0.6, 0.1, 0.2, 0.4)), face(Rect(0.0, 0.0, 0.4, 0.2))});
  best = FaceDetector::shared().largestFace(frame);
  ASSERT_TRUE(best);
  EXPECT_EQ(best->boundingBox, Rect(0.6, 0.1, 0.2, 0.4));
  EXPECT_EQ(simulatedFaceLandmarks().lastOrientation(), platform::image::ImageOrientation::up);
  EXPECT_TRUE(logs().messages().empty());
}

TEST_F(FaceDetectorTest, NoFaceIsNoValueWithoutALogLine) {
  EXPECT_FALSE(FaceDetector::shared().largestFace(frame));
  EXPECT_TRUE(logs().messages().empty());
}

TEST_F(FaceDetectorTest, AFailedRequestIsLoggedOnceAndGivesNoValue) {
  simulatedFaceLandmarks().enqueue(FaceLandmarksError{9, "The image could not be analysed."});
  EXPECT_FALSE(FaceDetector::shared().largestFace(frame));
  const auto entries = logs().entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].message, "Vision request failed: The image could not be analysed.");
  EXPECT_EQ(entries[0].category, "face");
  EXPECT_EQ(entries[0].level, platform::log::Level::Error);
}

// The real detector, on Debian's dlib example photos.
class RealFaceDetectorTest : public FaceDetectorTest {
 protected:
  void SetUp() override {
    FaceDetectorTest::SetUp();
    useRealFaceLandmarks();
  }
};

TEST_F(RealFaceDetectorTest, FindsTheFaceInEveryPhotoOfTheJohns) {
  for (const auto& path : johnsPhotos()) {
    auto photo = platform::image::readImageFile(path);
    ASSERT_TRUE(photo) << path;
    auto found = FaceDetector::shared().largestFace(photo);
    ASSERT_TRUE(found) << path;
    // The photos are face crops: the face sits in the middle.
    EXPECT_NEAR(found->boundingBox.midX(), 0.5, 0.15) << path;
    EXPECT_NEAR(found->boundingBox.midY(), 0.5, 0.2) << path;
    EXPECT_GT(found->boundingBox.width(), 0.4) << path;
    ASSERT_TRUE(found->landmarks) << path;
    ASSERT_TRUE(found->yaw && found->pitch) << path;
    EXPECT_LT(std::fabs(*found->yaw), 0.8) << path;
    EXPECT_LT(std::fabs(*found->pitch), 0.8) << path;
  }
  EXPECT_TRUE(logs().messages().empty());
}

TEST_F(RealFaceDetectorTest, FindsNoFaceAmongDogs) {
  auto dogs = examplePhoto("faces/dogs.jpg");
  ASSERT_TRUE(dogs);
  EXPECT_FALSE(FaceDetector::shared().largestFace(dogs));
  EXPECT_TRUE(logs().messages().empty());
}

// Group photos: the face of the largest area wins; among equal areas the first listed.
TEST_F(RealFaceDetectorTest, OfSeveralFacesTheLargestWins) {
  bool differentSizes = false;
  for (const char* name : {"faces/bald_guys.jpg", "faces/2008_001322.jpg", "faces/2008_002506.jpg"}) {
    auto group = examplePhoto(name);
    ASSERT_TRUE(group);
    const auto all = platform::vision::faceLandmarksDetector()->detectFaceLandmarks(
        group, platform::image::ImageOrientation::up);
    const auto& faces = std::get<std::vector<FaceObservation>>(all);
    ASSERT_GE(faces.size(), 3u) << name;
    auto area = [](const FaceObservation& f) { return f.boundingBox.width() * f.boundingBox.height(); };
    const FaceObservation* expected = &faces[0];
    for (const auto& f : faces) {
      if (area(f) > area(*expected)) expected = &f;
      if (std::fabs(area(f) - area(faces[0])) > 1e-9) differentSizes = true;
    }
    auto best = FaceDetector::shared().largestFace(group);
    ASSERT_TRUE(best) << name;
    EXPECT_EQ(best->boundingBox, expected->boundingBox) << name;
  }
  EXPECT_TRUE(differentSizes) << "no photo had faces of different sizes";
}

TEST_F(RealFaceDetectorTest, AFrameThePlatformCannotReadIsAnErrorLine) {
  auto yuv = platform::image::PixelBuffer::create(
      64, 48, platform::image::kPixelFormat420YpCbCr8BiPlanarVideoRange);
  EXPECT_FALSE(FaceDetector::shared().largestFace(yuv));
  const auto messages = logs().messages("face");
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].rfind("Vision request failed: ", 0), 0u) << messages[0];
  EXPECT_GT(messages[0].size(), std::string("Vision request failed: ").size());
}

TEST_F(RealFaceDetectorTest, AModelThatCannotBeLoadedFailsEveryRequestWithADescription) {
  platform::vision::installFaceLandmarksDetector(
      std::make_shared<platform::vision::DlibFaceLandmarksDetector>(home() + "/missing.dat"));
  auto photo = platform::image::readImageFile(johnsPhotos().front());
  EXPECT_FALSE(FaceDetector::shared().largestFace(photo));
  EXPECT_FALSE(FaceDetector::shared().largestFace(photo));
  const auto messages = logs().messages("face");
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_NE(messages[0].find("missing.dat"), std::string::npos) << messages[0];

  // Only upright frames are understood.
  const auto rotated = platform::vision::DlibFaceLandmarksDetector::shared()->detectFaceLandmarks(
      photo, platform::image::ImageOrientation::right);
  EXPECT_TRUE(std::holds_alternative<platform::vision::FaceLandmarksError>(rotated));
}

// Camera-sized frames are searched reduced by 2; a face at a sitting distance is found in the
// right place of the full frame.
TEST_F(RealFaceDetectorTest, FindsASittingFaceInCameraSizedFrames) {
  EXPECT_EQ(platform::vision::DlibFaceLandmarksDetector::reductionFactor(1280, 720), 2);
  EXPECT_EQ(platform::vision::DlibFaceLandmarksDetector::reductionFactor(1920, 1080), 2);
  EXPECT_EQ(platform::vision::DlibFaceLandmarksDetector::reductionFactor(150, 150), 1);
  auto portrait = examplePhoto("faces/Tom_Cruise_avp_2014_4.jpg");
  ASSERT_TRUE(portrait);
  for (const auto& [w, h, scale] : {std::tuple{1280, 720, 0.56}, std::tuple{1920, 1080, 0.84}}) {
    // The portrait's face is about 450 pixels wide: scaled to about 250 (720p) or 375 (1080p),
    // placed with its left edge at a third of the frame and its bottom at a tenth.
    const double left = w / 3.0, bottom = h / 10.0;
    const auto placed = platform::image::Image::fromPixelBuffer(portrait)
                            .scaledBy(scale, scale)
                            .translatedBy(left, bottom);
    auto frame = platform::image::PixelBuffer::create(w, h);
    ASSERT_TRUE(platform::image::Context().render(placed, *frame, Rect(0, 0, w, h),
                                                  platform::image::ColorSpace::sRGB()));
    const auto alone = FaceDetector::shared().largestFace(portrait);
    const auto found = FaceDetector::shared().largestFace(frame);
    ASSERT_TRUE(alone && found) << w << "x" << h;
    // Where the portrait's own face box lands in the frame.
    const Rect& a = alone->boundingBox;
    const double expectedMidX = (left + a.midX() * portrait->width() * scale) / w;
    const double expectedMidY = (bottom + a.midY() * portrait->height() * scale) / h;
    EXPECT_NEAR(found->boundingBox.midX(), expectedMidX, 0.02) << w;
    EXPECT_NEAR(found->boundingBox.midY(), expectedMidY, 0.03) << w;
    EXPECT_NEAR(found->boundingBox.width() * w, a.width() * portrait->width() * scale,
                0.2 * a.width() * portrait->width() * scale) << w;
    ASSERT_TRUE(found->yaw && alone->yaw);
    EXPECT_NEAR(*found->yaw, *alone->yaw, 0.15);
  }
}

platform::Point framePoint(const FaceObservation& face, const platform::Point& p, double w, double h) {
  return {(face.boundingBox.minX() + p.x * face.boundingBox.width()) * w,
          (face.boundingBox.minY() + p.y * face.boundingBox.height()) * h};
}

// The sign convention of yaw: positive when the nose points to the image's right, so a
// mirrored photo negates yaw and keeps pitch. The nose tip sitting right of the middle of the
// eyes tells which way a face is turned, independently of the pose fit.
TEST_F(RealFaceDetectorTest, YawFollowsTheNoseAndFlipsInAMirror) {
  int turned = 0;
  for (const auto& path : johnsPhotos()) {
    auto photo = platform::image::readImageFile(path);
    auto flipped = mirrored(*photo);
    auto face = FaceDetector::shared().largestFace(photo);
    auto mirror = FaceDetector::shared().largestFace(flipped);
    ASSERT_TRUE(face && mirror) << path;
    ASSERT_TRUE(face->yaw && mirror->yaw && face->pitch && mirror->pitch) << path;
    EXPECT_NEAR(*mirror->yaw, -*face->yaw, 0.08) << path;
    EXPECT_NEAR(*mirror->pitch, *face->pitch, 0.08) << path;
    if (std::fabs(*face->yaw) < 0.15) continue;
    ++turned;
    const double w = photo->width(), h = photo->height();
    const auto& lm = *face->landmarks;
    // The nose region runs from the top of the bridge down to the tip (its fourth point).
    const auto tip = framePoint(*face, lm.nose->normalizedPoints[3], w, h);
    double eyesX = 0;
    for (const auto& p : lm.leftEye->normalizedPoints) eyesX += framePoint(*face, p, w, h).x;
    for (const auto& p : lm.rightEye->normalizedPoints) eyesX += framePoint(*face, p, w, h).x;
    eyesX /= double(lm.leftEye->pointCount() + lm.rightEye->pointCount());
    EXPECT_EQ(*face->yaw > 0, tip.x > eyesX) << path << " yaw " << *face->yaw;
  }
  EXPECT_GE(turned, 3) << "too few turned faces to check the sign";
}

// The sign convention of pitch: positive when the nose points to the image's bottom (head
// bowed). A bowed head brings the nose tip down towards the mouth, so over the johns faces
// pitch rises with the tip's share of the way from the eyes down to the mouth.
TEST_F(RealFaceDetectorTest, PitchRisesAsTheNoseTipDropsTowardsTheMouth) {
  std::vector<double> pitches, drops;
  for (const auto& path : johnsPhotos()) {
    auto photo = platform::image::readImageFile(path);
    auto face = FaceDetector::shared().largestFace(photo);
    ASSERT_TRUE(face && face->pitch) << path;
    const double w = photo->width(), h = photo->height();
    const auto& lm = *face->landmarks;
    auto meanY = [&](const platform::vision::FaceLandmarkRegion& region) {
      double sum = 0;
      for (const auto& p : region.normalizedPoints) sum += framePoint(*face, p, w, h).y;
      return sum / double(region.pointCount());
    };
    const double eyes = (meanY(*lm.leftEye) + meanY(*lm.rightEye)) / 2;
    const double tip = framePoint(*face, lm.nose->normalizedPoints[3], w, h).y;
    drops.push_back((eyes - tip) / (eyes - meanY(*lm.outerLips)));
    pitches.push_back(*face->pitch);
  }
  const double n = double(pitches.size());
  const double meanPitch = std::accumulate(pitches.begin(), pitches.end(), 0.0) / n;
  const double meanDrop = std::accumulate(drops.begin(), drops.end(), 0.0) / n;
  double covariance = 0, pitchSpread = 0, dropSpread = 0;
  for (std::size_t i = 0; i < pitches.size(); ++i) {
    covariance += (pitches[i] - meanPitch) * (drops[i] - meanDrop);
    pitchSpread += (pitches[i] - meanPitch) * (pitches[i] - meanPitch);
    dropSpread += (drops[i] - meanDrop) * (drops[i] - meanDrop);
  }
  const double correlation = covariance / std::sqrt(pitchSpread * dropSpread);
  std::printf("pitch against nose-tip drop: correlation %.3f over %zu faces\n", correlation,
              pitches.size());
  EXPECT_GT(correlation, 0.6);
}

// A frame of `width` x `height` with `photo` scaled so that its face box is `size` pixels wide
// and centred at (x * width, y * height), on black.
std::shared_ptr<platform::image::PixelBuffer> placed(const std::shared_ptr<platform::image::PixelBuffer>& photo,
                                                    const Rect& faceBox, int width, int height,
                                                    double size, double x, double y) {
  const double scale = size / (faceBox.width() * photo->width());
  const auto image = platform::image::Image::fromPixelBuffer(photo).scaledBy(scale, scale).translatedBy(
      x * width - faceBox.midX() * photo->width() * scale, y * height - faceBox.midY() * photo->height() * scale);
  auto frame = platform::image::PixelBuffer::create(width, height);
  platform::image::Context({.highQualityDownsample = true})
      .render(image, *frame, Rect(0, 0, width, height), platform::image::ColorSpace::sRGB());
  return frame;
}

// Yaw and pitch are the head's turn away from looking at the camera: a portrait placed left,
// right, high or low in a camera frame reads the same angles (within 0.05), whatever its size,
// and faces looking into the camera read within 0.1 of 0. (The portrait of Tom Cruise looks
// slightly down into the camera: it reads a pitch of about 0.17, the same everywhere.)
TEST_F(RealFaceDetectorTest, HeadPoseIsTheSameWhereverTheFaceSits) {
  const std::pair<const char*, bool> photos[] = {{"johns/John_Savage/000264_01099001.jpg", true},
                                                 {"johns/John_Schneider/000325_00925954.jpg", true},
                                                 {"faces/Tom_Cruise_avp_2014_4.jpg", false}};
  const std::tuple<int, int, double> groups[] = {{1280, 720, 150}, {1280, 720, 450}, {1920, 1080, 150}};
  const std::pair<double, double> positions[] = {{0.25, 0.5}, {0.5, 0.5}, {0.75, 0.5}, {0.5, 0.35}, {0.5, 0.65}};
  double worstSpread = 0, worstFrontal = 0;
  for (const auto& [name, frontal] : photos) {
    const auto photo = examplePhoto(name);
    ASSERT_TRUE(photo);
    const auto alone = FaceDetector::shared().largestFace(photo);
    ASSERT_TRUE(alone) << name;
    for (const auto& [width, height, size] : groups) {
      std::vector<double> yaws, pitches;
      for (const auto& [x, y] : positions) {
        const auto face = FaceDetector::shared().largestFace(
            placed(photo, alone->boundingBox, width, height, size, x, y));
        ASSERT_TRUE(face && face->yaw && face->pitch) << name << " " << width << " " << size << " " << x << "," << y;
        yaws.push_back(*face->yaw);
        pitches.push_back(*face->pitch);
        if (frontal) worstFrontal = std::max({worstFrontal, std::fabs(*face->yaw), std::fabs(*face->pitch)});
      }
      for (const auto* angles : {&yaws, &pitches}) {
        const auto [low, high] = std::minmax_element(angles->begin(), angles->end());
        worstSpread = std::max(worstSpread, *high - *low);
        EXPECT_LE(*high - *low, 0.05) << name << " " << width << "x" << height << " face " << size
                                      << (angles == &yaws ? " yaw" : " pitch");
      }
    }
  }
  std::printf("head pose: worst spread across the frame %.3f rad, worst frontal angle %.3f rad\n",
              worstSpread, worstFrontal);
  EXPECT_LE(worstFrontal, 0.1);
}

// A face turned far to its left (LFW's Robin_McLaurin_Williams_0001, about 40 degrees by eye)
// reads a yaw far past the gaze tolerance, and its mirror image the opposite.
TEST_F(RealFaceDetectorTest, AFaceTurnedFarAwayReadsItsTurnAndTheMirrorTheOpposite) {
  auto photo = platform::image::readImageFile(QUORVEL_SOURCE_DIR "/tests/data/head-pose/Robin_McLaurin_Williams_0001.jpg");
  ASSERT_TRUE(photo);
  const auto face = FaceDetector::shared().largestFace(photo);
  const auto mirror = FaceDetector::shared().largestFace(mirrored(*photo));
  ASSERT_TRUE(face && face->yaw && mirror && mirror->yaw);
  std::printf("turned face: yaw %.3f, mirrored %.3f\n", *face->yaw, *mirror->yaw);
  EXPECT_GT(*face->yaw, 0.5);
  EXPECT_LT(*face->yaw, 0.9);
  EXPECT_NEAR(*mirror->yaw, -*face->yaw, 0.08);
}

// The person's left eye is on the image's right in an unmirrored photo.
TEST_F(RealFaceDetectorTest, RegionsAreNamedAfterThePerson) {
  auto photo = platform::image::readImageFile(johnsPhotos().front());
  auto face = FaceDetector::shared().largestFace(photo);
  ASSERT_TRUE(face && face->landmarks);
  const auto& lm = *face->landmarks;
  ASSERT_TRUE(lm.leftEye && lm.rightEye && lm.nose && lm.outerLips);
  EXPECT_EQ(lm.leftEye->pointCount(), 6u);
  EXPECT_EQ(lm.outerLips->pointCount(), 12u);
  EXPECT_GT(lm.leftEye->normalizedPoints[0].x, lm.rightEye->normalizedPoints[0].x);
  // Normalised to the box, bottom-left origin: eyes high, lips low.
  EXPECT_GT(lm.leftEye->normalizedPoints[0].y, 0.5);
  EXPECT_LT(lm.outerLips->normalizedPoints[0].y, 0.4);
}

}  // namespace
}  // namespace quorvel::testing
