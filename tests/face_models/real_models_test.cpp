// The shipped models through the model host, on real photos: the liveness package run by the
// OpenCV runtime on laptop-framed faces and on frames without a face, and face recognition end
// to end through our own detector, aligner and the native dlib network (and, in developer
// builds, the personal-use model) on dlib's example photos (examples/johns: 5 people, 11
// photos each).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "foundation/build_flavour.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "platform/image/image.hpp"
#include "platform/image/image_io.hpp"
#include "recognition/face_aligner.hpp"
#include "recognition/face_detector.hpp"
#include "recognition/face_models.hpp"
#include "recognition/face_tensors.hpp"
#include "recognition/face_work.hpp"
#include "recognition/match_engine.hpp"
#include "recognition_input/image_helpers.hpp"
#include "support/models_hooks.hpp"
#include "support/platform_fixture.hpp"
#include "support/recognition_input_hooks.hpp"

namespace quorvel::testing {
namespace {

class RealModelsTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    useRealFaceLandmarks();
    ASSERT_TRUE(useBuiltBundleAndRealRuntime());
  }

  // The liveness of a frame as the unlock road computes it: the wide square, unit-normalised.
  static std::optional<float> livenessOf(const std::shared_ptr<platform::image::PixelBuffer>& frame) {
    const auto square = FaceAligner::shared().wideSquare(frame);
    if (!square) return std::nullopt;
    const auto input = FaceTensors::shared().tensor(*square, 128, FaceTensors::Normalisation::unit());
    if (!input) return std::nullopt;
    return FaceModels::shared().liveness(*input);
  }

  // A 1280 x 720 frame whose pixel (x, y) (row 0 at the top) has the colour rgb(x, y).
  template <class F>
  static std::shared_ptr<platform::image::PixelBuffer> frameOf(F rgb) {
    return makeBuffer(1280, 720, [&](int x, int y) {
      const std::array<int, 3> c = rgb(x, y);
      return BGRA{std::uint8_t(c[2]), std::uint8_t(c[1]), std::uint8_t(c[0]), 255};
    });
  }
};

// Faces of dlib's example scenes framed as a laptop camera frames its user: the photo scaled
// so that the face box (as the detector found it, in the photo's pixels, row 0 at the top) is
// 250 px wide, the face's centre at (640, 324) of a 1280 x 720 frame, the scene around it
// filling the frame.
TEST_F(RealModelsTest, RealFacesAtLaptopFramingAreLiveAndFacelessFramesAreNot) {
  struct Face {
    const char* photo;
    double width, x, y;
  };
  for (const Face& face : {Face{"faces/2008_002506.jpg", 87.9, 264.9, 148.2},
                           Face{"faces/2008_001009.jpg", 70.3, 180.8, 118.5},
                           Face{"faces/2008_007676.jpg", 54.3, 133.6, 163.6},
                           Face{"faces/2007_007763.jpg", 42.8, 404.2, 113.4}}) {
    const auto photo = examplePhoto(face.photo);
    ASSERT_TRUE(photo);
    const double s = 250 / face.width;  // the image plane has its origin at the bottom left
    const auto placed = platform::image::Image::fromPixelBuffer(photo).scaledBy(s, s).translatedBy(
        640 - s * face.x, (720 - 324) - s * (photo->height() - face.y));
    const auto frame = renderedFrame(placed, 1280, 720);
    ASSERT_TRUE(frame);
    const auto live = livenessOf(frame);
    ASSERT_TRUE(live) << face.photo;
    EXPECT_GE(*live, MatchEngine::livenessFloor) << face.photo;
  }
  EXPECT_FALSE(FaceModels::shared().loadFailed());
  EXPECT_EQ(simulatedML().loadAttempts().size(), 0u);  // the real runtime ran it

  // Frames without a face: every grey level, colours, noise and gradients. Each of the two
  // networks alone takes some of them for live (mid greys, light greys, the colour gradient).
  std::vector<std::pair<std::string, std::shared_ptr<platform::image::PixelBuffer>>> frames;
  for (int level = 0; level <= 255; level += 15) {
    frames.emplace_back("grey " + std::to_string(level),
                        frameOf([level](int, int) { return std::array{level, level, level}; }));
  }
  frames.emplace_back("red", frameOf([](int, int) { return std::array{255, 0, 0}; }));
  frames.emplace_back("wall", frameOf([](int, int) { return std::array{200, 196, 180}; }));
  frames.emplace_back("colour gradient",
                      frameOf([](int x, int y) { return std::array{x * 255 / 1279, y * 255 / 719, 128}; }));
  frames.emplace_back("radial gradient", frameOf([](int x, int y) {
                        const int v = static_cast<int>(230 * (1 - std::hypot(x - 640, y - 360) / 734));
                        return std::array{v, v, v};
                      }));
  std::mt19937 random(15);
  frames.emplace_back("noise", frameOf([&random](int, int) {
                        return std::array{int(random() % 256), int(random() % 256), int(random() % 256)};
                      }));
  for (const auto& [name, frame] : frames) {
    const auto live = livenessOf(frame);
    ASSERT_TRUE(live) << name;
    EXPECT_LT(*live, MatchEngine::livenessFloor) << name;
  }
}

// dlib descriptors of the same person are within 0.6 and of different people beyond it; the
// personal-use model's (developer builds) separate by cosine around the middle of the two.
TEST_F(RealModelsTest, SamePersonPhotosAreCloseAndDifferentPeopleFar) {
  struct Face {
    std::string person;
    FaceDescriptor dlib, arcface;
  };
  std::vector<Face> faces;
  std::vector<std::string> undescribed;
  const auto& context = *FaceAligner::shared().ciContext();
  for (const std::string& path : johnsPhotos()) {
    const auto frame = platform::image::readImageFile(path);
    ASSERT_TRUE(frame) << path;
    const auto face = FaceDetector::shared().largestFace(frame);
    const auto describe = [&](const FaceEngineSpec& spec) -> std::optional<FaceDescriptor> {
      const auto aligned = face ? FaceAligner::shared().alignedFace(frame, *face, spec) : std::nullopt;
      return aligned ? FaceModels::shared().embedding(*aligned, spec, context) : std::nullopt;
    };
    const auto descriptor = describe(FaceEngineSpec::dlib);
    if (!descriptor) {
      undescribed.push_back(path);
      continue;
    }
    ASSERT_EQ(descriptor->size(), 128u);
    faces.push_back({std::filesystem::path(path).parent_path().filename().string(), *descriptor, {}});
    if (BuildFlavour::isDeveloper) {
      const auto arcface = describe(FaceEngineSpec::arcface);
      ASSERT_TRUE(arcface) << path;
      EXPECT_NEAR(MatchEngine::euclidean(*arcface, FaceDescriptor(512, 0.0f)), 1.0, 1e-4) << path;  // unit length
      faces.back().arcface = *arcface;
    }
  }
  EXPECT_LE(undescribed.size(), 1u) << "photos without a descriptor: " << undescribed.size();
  ASSERT_GE(faces.size(), 50u);
  EXPECT_FALSE(FaceModels::shared().loadFailed());

  std::vector<double> same, different, sameCosine, differentCosine;
  for (std::size_t i = 0; i < faces.size(); ++i) {
    for (std::size_t j = i + 1; j < faces.size(); ++j) {
      const bool samePerson = faces[i].person == faces[j].person;
      (samePerson ? same : different).push_back(MatchEngine::euclidean(faces[i].dlib, faces[j].dlib));
      if (BuildFlavour::isDeveloper) {
        (samePerson ? sameCosine : differentCosine).push_back(MatchEngine::cosine(faces[i].arcface, faces[j].arcface));
      }
    }
  }
  const auto mean = [](const std::vector<double>& v) { return std::accumulate(v.begin(), v.end(), 0.0) / v.size(); };
  const auto share = [](const std::vector<double>& v, auto holds) {
    return double(std::count_if(v.begin(), v.end(), holds)) / v.size();
  };
  const double sameBelow = share(same, [](double d) { return d < 0.6; });
  const double differentAbove = share(different, [](double d) { return d > 0.6; });
  std::printf("johns: %zu photos described, %zu not\n", faces.size(), undescribed.size());
  std::printf("same person:      %4zu pairs, mean %.3f, max %.3f, below 0.6: %.1f %%\n", same.size(), mean(same),
              *std::max_element(same.begin(), same.end()), 100 * sameBelow);
  std::printf("different people: %4zu pairs, mean %.3f, min %.3f, above 0.6: %.1f %%\n", different.size(),
              mean(different), *std::min_element(different.begin(), different.end()), 100 * differentAbove);
  EXPECT_GE(sameBelow, 0.98);
  EXPECT_GE(differentAbove, 0.98);
  EXPECT_GT(same.size(), 200u);
  EXPECT_GT(different.size(), 1000u);
  if (!BuildFlavour::isDeveloper) return;

  const double sameMean = mean(sameCosine), differentMean = mean(differentCosine);
  std::printf("VavozuDare cosine: same person mean %.3f, different people mean %.3f\n", sameMean, differentMean);
  EXPECT_GT(sameMean, differentMean + 0.3);
  // Pairs on the right side of the halfway point between the two means.
  const double middle = (sameMean + differentMean) / 2;
  EXPECT_GE(share(sameCosine, [&](double c) { return c > middle; }), 0.95);
  EXPECT_GE(share(differentCosine, [&](double c) { return c < middle; }), 0.95);
}

// The face steps made ahead, on another thread, answer what they answer when asked for; an
// engine other than the one they were made for is served when asked.
TEST_F(RealModelsTest, FaceStepsMadeAheadAreTheStepsMadeWhenAskedFor) {
  platform::dispatch::install(platform::dispatch::makeRealScheduler());
  const auto frame = platform::image::readImageFile(johnsPhotos().front());
  ASSERT_TRUE(frame);
  FaceWork asked(frame, false, true);
  const auto face = asked.largestFace();
  ASSERT_TRUE(face);
  const auto aligned = asked.alignedFace(*face, FaceEngineSpec::dlib);
  ASSERT_TRUE(aligned);
  const auto probe = asked.embedding(*aligned, FaceEngineSpec::dlib, *FaceAligner::shared().ciContext());
  ASSERT_TRUE(probe);  // the weights are loaded now, so the descriptor is made ahead too

  FaceWork ahead(frame, true, true);
  const auto faceAhead = ahead.largestFace();
  ASSERT_TRUE(faceAhead);
  EXPECT_EQ(faceAhead->boundingBox, face->boundingBox);
  const auto alignedAhead = ahead.alignedFace(*faceAhead, FaceEngineSpec::dlib);
  ASSERT_TRUE(alignedAhead);
  EXPECT_EQ(ahead.embedding(*alignedAhead, FaceEngineSpec::dlib, *FaceAligner::shared().ciContext()), probe);
  const auto other = ahead.alignedFace(*faceAhead, FaceEngineSpec::arcface);
  ASSERT_TRUE(other);
  EXPECT_EQ(other->extent().width(), FaceEngineSpec::arcface.templateSide);
}

}  // namespace
}  // namespace quorvel::testing
