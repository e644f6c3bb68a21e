// Five-point alignment: the estimator, the five points, the crops, and the rendering checked
// against the transform with the 68-point model on real photos (the five points of real faces
// are checked with the detector's tests).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>

#include "platform/image/image_io.hpp"
#include "platform/vision/simulated_face_landmarks.hpp"
#include "recognition/face_aligner.hpp"
#include "recognition/face_detector.hpp"
#include "recognition/native_dlib.hpp"
#include "recognition_input/image_helpers.hpp"
#include "support/platform_fixture.hpp"
#include "support/recognition_input_hooks.hpp"

namespace quorvel::testing {
namespace {

using platform::AffineTransform;
using platform::Point;
using platform::Rect;
using platform::vision::FaceLandmarkRegion;
using platform::vision::FaceObservation;
using platform::vision::SimulatedFaceLandmarksDetector;

class FaceAlignerTest : public PlatformTest {};

TEST_F(FaceAlignerTest, TheEstimatorRecoversSimilaritiesAndRefusesWrongCountsAndDegeneratePoints) {
  const auto& tpl = FaceEngineSpec::arcface.templatePoints;
  // Any similarity (turned, scaled and moved) is undone exactly.
  const AffineTransform move = AffineTransform::rotation(0.3).concatenating(AffineTransform::scale(1.7, 1.7))
                                   .concatenating(AffineTransform::translation(40, -12));
  std::vector<Point> moved;
  for (const auto& p : tpl) moved.push_back(move.apply(p));
  const auto back = SimilarityTransform::estimate(moved, tpl);
  ASSERT_TRUE(back);
  for (std::size_t i = 0; i < 5; ++i) {
    const Point p = back->apply(moved[i]);
    EXPECT_NEAR(p.x, tpl[i].x, 1e-9);
    EXPECT_NEAR(p.y, tpl[i].y, 1e-9);
  }

  // Wrong counts and degenerate points give none.
  const std::vector<Point> four(tpl.begin(), tpl.begin() + 4);
  std::vector<Point> six = tpl;
  six.push_back({1, 1});
  EXPECT_FALSE(SimilarityTransform::estimate(four, tpl));
  EXPECT_FALSE(SimilarityTransform::estimate(tpl, four));
  EXPECT_FALSE(SimilarityTransform::estimate(six, tpl));
  EXPECT_FALSE(SimilarityTransform::estimate(tpl, six));
  EXPECT_FALSE(SimilarityTransform::estimate(std::vector<Point>(5, Point{3, 4}), tpl));
}

FaceObservation scriptedFace() {
  return SimulatedFaceLandmarksDetector::frontalFace(Rect(0.25, 0.2, 0.5, 0.6));
}

TEST_F(FaceAlignerTest, FivePointsComeFromTheRegionsInTemplateOrder) {
  FaceObservation face = scriptedFace();
  auto& lm = *face.landmarks;
  lm.leftEye = FaceLandmarkRegion{{{0.6, 0.7}, {0.8, 0.7}}};
  lm.rightEye = FaceLandmarkRegion{{{0.2, 0.6}, {0.4, 0.8}}};
  lm.nose = FaceLandmarkRegion{{{0.5, 0.4}, {0.5, 0.5}}};
  lm.outerLips = FaceLandmarkRegion{{{0.5, 0.25}, {0.7, 0.2}, {0.3, 0.2}, {0.3, 0.3}}};
  const auto points = FaceAligner::fiveLandmarks(face, 200, 100);
  ASSERT_TRUE(points);
  // In the face box: the eyes' middles, the nose's, then the lips' corners (two lip points
  // share the smallest x: the one listed first is the corner).
  const Point inBox[] = {{0.3, 0.7}, {0.7, 0.7}, {0.5, 0.45}, {0.3, 0.2}, {0.7, 0.2}};
  for (int i = 0; i < 5; ++i) {
    EXPECT_NEAR((*points)[i].x, (0.25 + inBox[i].x * 0.5) * 200, 1e-9) << i;
    EXPECT_NEAR((*points)[i].y, (0.2 + inBox[i].y * 0.6) * 100, 1e-9) << i;
  }

  // Swapping the names of the eyes (a mirrored frame) changes nothing.
  std::swap(lm.leftEye, lm.rightEye);
  const auto swapped = FaceAligner::fiveLandmarks(face, 200, 100);
  ASSERT_TRUE(swapped);
  EXPECT_EQ((*swapped)[0], (*points)[0]);
  EXPECT_EQ((*swapped)[1], (*points)[1]);
}

TEST_F(FaceAlignerTest, MissingOrEmptyRegionsGiveNoPoints) {
  auto frame = makeBuffer(64, 64, [](int, int) { return BGRA{50, 60, 70, 255}; });
  const std::pair<const char*, std::function<void(FaceObservation&)>> faults[] = {
      {"no nose", [](FaceObservation& f) { f.landmarks->nose.reset(); }},
      {"empty lips", [](FaceObservation& f) { f.landmarks->outerLips = FaceLandmarkRegion{}; }},
      {"no right eye", [](FaceObservation& f) { f.landmarks->rightEye.reset(); }},
      {"no landmarks", [](FaceObservation& f) { f.landmarks.reset(); }},
      {"every point in one place", [](FaceObservation& f) { f.boundingBox = Rect(0.5, 0.5, 0, 0); }},
  };
  for (const auto& [what, fault] : faults) {
    FaceObservation face = scriptedFace();
    fault(face);
    EXPECT_FALSE(FaceAligner::shared().alignedFace(frame, face, FaceEngineSpec::dlib)) << what;
  }
  EXPECT_FALSE(FaceAligner::shared().alignedFace(nullptr, scriptedFace(), FaceEngineSpec::dlib));
  EXPECT_TRUE(logs().messages().empty());
}

TEST_F(FaceAlignerTest, AlignedFacesAreCroppedToTheTemplateSquare) {
  auto frame = makeBuffer(640, 480, [](int x, int y) { return BGRA{std::uint8_t(x), std::uint8_t(y), 128, 255}; });
  const auto face = scriptedFace();
  const auto dlib = FaceAligner::shared().alignedFace(frame, face, FaceEngineSpec::dlib);
  const auto arcface = FaceAligner::shared().alignedFace(frame, face, FaceEngineSpec::arcface);
  ASSERT_TRUE(dlib && arcface);
  EXPECT_EQ(dlib->extent(), Rect(0, 0, 150, 150));
  EXPECT_EQ(arcface->extent(), Rect(0, 0, 256, 256));

  // A face at the frame's bottom edge: the square still has the full extent, black where it
  // reaches past the frame, and the descriptor's input is not stretched.
  auto grey = makeBuffer(200, 200, [](int, int) { return BGRA{128, 128, 128, 255}; });
  const auto low = FaceAligner::shared().alignedFace(
      grey, SimulatedFaceLandmarksDetector::frontalFace(Rect(0.3, -0.2, 0.4, 0.5)), FaceEngineSpec::dlib);
  ASSERT_TRUE(low);
  EXPECT_EQ(low->extent(), Rect(0, 0, 150, 150));
  const auto bytes = NativeDlib::inputBytes(*low, *FaceAligner::shared().ciContext());
  ASSERT_TRUE(bytes);
  const auto at = [&](int x, int y) { return (*bytes)[(y * 150 + x) * 3]; };
  EXPECT_GT(at(75, 0), 128);
  EXPECT_EQ(at(75, 149), 0);
  EXPECT_EQ(at(0, 149), 0);
}

// A plain frame comes out brighter and with more contrast: brightness 0.05, contrast 1.1.
TEST_F(FaceAlignerTest, TheCropPassesThroughColourControls) {
  auto frame = makeBuffer(640, 480, [](int, int) { return BGRA{200, 100, 60, 255}; });
  const auto aligned = FaceAligner::shared().alignedFace(frame, scriptedFace(), FaceEngineSpec::dlib);
  ASSERT_TRUE(aligned);
  auto bitmap = FaceAligner::shared().ciContext()->renderBitmap(*aligned, Rect(0, 0, 150, 150),
                                                                platform::image::BitmapFormat::RGB8);
  ASSERT_TRUE(bitmap);
  // In linear light, as the platform's colour controls work.
  auto adjusted = [](double v) {
    const double c = v / 255, linear = c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    const double l = (linear - 0.5) * 1.1 + 0.5 + 0.05;
    return (l <= 0.0031308 ? l * 12.92 : 1.055 * std::pow(l, 1 / 2.4) - 0.055) * 255;
  };
  EXPECT_NEAR(bitmap->pixel(75, 75)[0], adjusted(60), 1.0);
  EXPECT_NEAR(bitmap->pixel(75, 75)[1], adjusted(100), 1.0);
  EXPECT_NEAR(bitmap->pixel(75, 75)[2], adjusted(200), 1.0);
  // Results clamp: white stays white.
  auto white = makeBuffer(640, 480, [](int, int) { return BGRA{255, 255, 255, 255}; });
  const auto whiteFace = FaceAligner::shared().alignedFace(white, scriptedFace(), FaceEngineSpec::dlib);
  bitmap = FaceAligner::shared().ciContext()->renderBitmap(*whiteFace, Rect(0, 0, 150, 150),
                                                           platform::image::BitmapFormat::RGB8);
  for (int channel = 0; channel < 3; ++channel) EXPECT_EQ(bitmap->pixel(75, 75)[channel], 255);
}

TEST_F(FaceAlignerTest, TheWideSquareIsTheCentredSquareMovedToTheOrigin) {
  // Each pixel tells its column (landscape) or its row (portrait).
  auto landscape = makeBuffer(1920, 1080, [](int x, int) { return BGRA{std::uint8_t(x % 256), std::uint8_t(x / 256), 0, 255}; });
  const auto square = FaceAligner::shared().wideSquare(landscape);
  ASSERT_TRUE(square);
  EXPECT_EQ(square->extent(), Rect(0, 0, 1080, 1080));
  platform::image::Context plain;
  auto bitmap = plain.renderBitmap(*square, Rect(0, 0, 1080, 1080), platform::image::BitmapFormat::BGRA8);
  ASSERT_TRUE(bitmap);
  auto column = [&](int x, int y) { return bitmap->pixel(x, y)[0] + 256 * bitmap->pixel(x, y)[1]; };
  EXPECT_EQ(column(0, 0), 420);
  EXPECT_EQ(column(0, 1079), 420);
  EXPECT_EQ(column(1079, 500), 1499);

  auto portrait = makeBuffer(720, 1280, [](int, int y) { return BGRA{std::uint8_t(y % 256), std::uint8_t(y / 256), 0, 255}; });
  const auto tall = FaceAligner::shared().wideSquare(portrait);
  ASSERT_TRUE(tall);
  EXPECT_EQ(tall->extent(), Rect(0, 0, 720, 720));
  auto rows = plain.renderBitmap(*tall, Rect(0, 0, 720, 720), platform::image::BitmapFormat::BGRA8);
  EXPECT_EQ(rows->pixel(0, 0)[0] + 256 * rows->pixel(0, 0)[1], 280);

  EXPECT_FALSE(FaceAligner::shared().wideSquare(nullptr));
  // A frame without a width (or height) has no square, not an empty one, and no face to align.
  for (const auto& [w, h] : {std::pair{0, 1080}, std::pair{1920, 0}}) {
    const auto empty = std::make_shared<platform::image::PixelBuffer>(
        w, h, platform::image::kPixelFormat32BGRA, std::size_t(w) * 4, platform::image::PixelBufferAttributes{});
    EXPECT_FALSE(FaceAligner::shared().wideSquare(empty)) << w << " x " << h;
    EXPECT_FALSE(FaceAligner::shared().alignedFace(empty, scriptedFace(), FaceEngineSpec::dlib)) << w << " x " << h;
  }
}

// ---- Real photos ------------------------------------------------------------------------

class RealAlignmentTest : public FaceAlignerTest {
 protected:
  void SetUp() override {
    FaceAlignerTest::SetUp();
    useRealFaceLandmarks();
  }
};

// The face box that a template implies in its square: where dlib's frontal detector puts the
// box of a face whose five points sit on the template (the box the 68-point model expects).
// For the dlib square that is (10, 15, 125, 125) (measured: the detector's boxes of the johns
// faces carried into their aligned squares average (10.2, 14.6, 124.7, 124.7)); the arcface
// square gets the same box carried over by the similarity between the two templates.
Rect impliedFaceBox(const FaceEngineSpec& spec) {
  const Rect dlibBox(10, 15, 125, 125);
  if (&spec == &FaceEngineSpec::dlib) return dlibBox;
  const auto carry = SimilarityTransform::estimate(FaceEngineSpec::dlib.templatePoints, spec.templatePoints);
  return carry->apply(dlibBox);
}

// Renders every johns face aligned with `spec`, runs the 68-point model on the rendering and
// checks that the eye centres are where the similarity transform put them. A flipped y axis,
// an inverted transform or a wrong scale moves them far off.
void checkRenderingAgreesWithTransform(const FaceEngineSpec& spec) {
  const int side = static_cast<int>(spec.templateSide);
  const Rect box = impliedFaceBox(spec);
  const Rect normalisedBox(box.minX() / side, box.minY() / side, box.width() / side, box.height() / side);
  double residualSum = 0, sumDx = 0, sumDy = 0, sumSquares = 0;
  // 4 pixels of the 150-pixel dlib square; the same share of the arcface square.
  const double tolerance = 4.0 * side / 150.0;
  int faces = 0;
  for (const auto& path : johnsPhotos()) {
    auto photo = platform::image::readImageFile(path);
    const auto face = FaceDetector::shared().largestFace(photo);
    ASSERT_TRUE(face) << path;
    const auto points = FaceAligner::fiveLandmarks(*face, photo->width(), photo->height());
    ASSERT_TRUE(points);
    const auto transform = SimilarityTransform::estimate({points->begin(), points->end()}, spec.templatePoints);
    ASSERT_TRUE(transform);
    const auto aligned = FaceAligner::shared().alignedFace(photo, *face, spec);
    ASSERT_TRUE(aligned) << path;
    auto rendered = platform::image::PixelBuffer::create(side, side);
    ASSERT_TRUE(FaceAligner::shared().ciContext()->render(*aligned, *rendered, Rect(0, 0, side, side),
                                                          platform::image::ColorSpace::sRGB()));
    const auto result = platform::vision::faceLandmarksDetector()->landmarksForFaces(
        rendered, platform::image::ImageOrientation::up, {normalisedBox});
    const auto& found = std::get<std::vector<FaceObservation>>(result);
    ASSERT_EQ(found.size(), 1u);
    const auto seen = FaceAligner::fiveLandmarks(found[0], side, side);
    ASSERT_TRUE(seen);
    for (int eye = 0; eye < 2; ++eye) {
      const Point expected = transform->apply((*points)[eye]);
      const double off = std::hypot((*seen)[eye].x - expected.x, (*seen)[eye].y - expected.y);
      sumDx += (*seen)[eye].x - expected.x;
      sumDy += (*seen)[eye].y - expected.y;
      sumSquares += off * off;
      EXPECT_LT(off, tolerance) << path << " eye " << eye;
    }
    for (int i = 0; i < 5; ++i) {
      const Point p = transform->apply((*points)[i]);
      residualSum += std::hypot(p.x - spec.templatePoints[i].x, p.y - spec.templatePoints[i].y);
    }
    ++faces;
    if (faces == 1) {
      platform::image::writePNG(*rendered, testOutputFolder() + "/aligned_" + spec.modelName + ".png");
    }
  }
  const double meanResidual = residualSum / (5.0 * faces);
  const double eyes = 2.0 * faces;
  std::printf("%s: %d faces, template residual mean %.2f px; eye offset rms %.2f px, mean (%.2f, %.2f) px\n",
              spec.modelName.c_str(), faces, meanResidual, std::sqrt(sumSquares / eyes), sumDx / eyes, sumDy / eyes);
  // No systematic shift (half a pixel off in the plane conventions would show here) and a
  // small spread: the model's own noise.
  EXPECT_LT(std::fabs(sumDx / eyes), 0.25);
  EXPECT_LT(std::fabs(sumDy / eyes), 0.25);
  EXPECT_LT(std::sqrt(sumSquares / eyes), 1.5);
  // The five points of real faces fit the template up to a few pixels, never exactly.
  EXPECT_LT(meanResidual, 0.04 * spec.templateSide);
}

TEST_F(RealAlignmentTest, TheRenderingAgreesWithTheTransformForBothTemplates) {
  checkRenderingAgreesWithTransform(FaceEngineSpec::dlib);
  checkRenderingAgreesWithTransform(FaceEngineSpec::arcface);
}

}  // namespace
}  // namespace quorvel::testing
