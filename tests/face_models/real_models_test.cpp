// The shipped models through the model host, on real photos: the liveness package run by the
// OpenCV runtime, and face recognition end to end through our own detector, aligner and the
// native dlib network on dlib's example photos (examples/johns: 5 people, 11 photos each).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/bundle/bundle.hpp"
#include "platform/image/image.hpp"
#include "platform/image/image_io.hpp"
#include "recognition/face_aligner.hpp"
#include "recognition/face_detector.hpp"
#include "recognition/face_models.hpp"
#include "recognition/face_tensors.hpp"
#include "recognition/match_engine.hpp"
#include "support/models_hooks.hpp"
#include "support/platform_fixture.hpp"
#include "support/recognition_input_hooks.hpp"

namespace quorvel::testing {
namespace {

class RealModelsTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    useBuiltBundleAndRealRuntime();
    useRealFaceLandmarks();
    ASSERT_TRUE(platform::bundle::Bundle::main().url("MiniFAS", "mlpackage"))
        << "build the project (scripts/build) to fill " << builtBundlePath();
    ASSERT_TRUE(platform::bundle::Bundle::main().url("dlib_face_recognition_resnet_model_v1", "dat"))
        << "run scripts/make-dlib-weights, then scripts/build";
  }

  // The liveness of a frame as the unlock road computes it: the wide square, unit-normalised.
  static std::optional<float> livenessOf(const std::shared_ptr<platform::image::PixelBuffer>& frame) {
    const auto square = FaceAligner::shared().wideSquare(frame);
    if (!square) return std::nullopt;
    const auto input = FaceTensors::shared().tensor(*square, 128, FaceTensors::Normalisation::unit());
    if (!input) return std::nullopt;
    return FaceModels::shared().liveness(*input);
  }
};

TEST_F(RealModelsTest, TheShippedLivenessModelScoresFacesAboveAFlatFrame) {
  int facesAboveFloor = 0, photos = 0;
  for (const std::string& path : johnsPhotos()) {
    const auto frame = platform::image::readImageFile(path);
    ASSERT_TRUE(frame) << path;
    const auto live = livenessOf(frame);
    ASSERT_TRUE(live) << path;
    EXPECT_GE(*live, 0.0f);
    EXPECT_LE(*live, 1.0f);
    ++photos;
    if (*live > MatchEngine::livenessFloor) ++facesAboveFloor;
  }
  const auto grey = platform::image::PixelBuffer::create(640, 480);
  ASSERT_TRUE(grey);
  {
    platform::image::BaseAddressLock lock(*grey, platform::image::LockFlags::readWrite);
    std::fill(grey->mutableBaseAddress(), grey->mutableBaseAddress() + grey->bytesPerRow() * 480,
              std::uint8_t{128});
  }
  const auto flat = livenessOf(grey);
  ASSERT_TRUE(flat);
  std::printf("liveness: %d of %d face photos above %.2f; flat grey frame %.4f\n", facesAboveFloor,
              photos, MatchEngine::livenessFloor, *flat);
  const double faceRate = double(facesAboveFloor) / photos;
  const double greyRate = *flat > MatchEngine::livenessFloor ? 1.0 : 0.0;
  EXPECT_GT(faceRate, greyRate);
  EXPECT_FALSE(FaceModels::shared().loadFailed());
  EXPECT_EQ(simulatedML().loadAttempts().size(), 0u);  // the real runtime ran it
}

struct Distribution {
  int count = 0;
  double sum = 0, min = 1e9, max = -1e9;
  int correct = 0;
  void add(double d, bool ok) {
    ++count;
    sum += d;
    min = std::min(min, d);
    max = std::max(max, d);
    if (ok) ++correct;
  }
  double mean() const { return count ? sum / count : 0; }
  double rate() const { return count ? double(correct) / count : 0; }
};

TEST_F(RealModelsTest, SamePersonPhotosAreCloseAndDifferentPeopleFar) {
  struct Face {
    std::string person;
    FaceDescriptor descriptor;
  };
  std::vector<Face> faces;
  std::vector<std::string> undescribed;
  const auto& context = *FaceAligner::shared().ciContext();
  for (const std::string& path : johnsPhotos()) {
    const auto frame = platform::image::readImageFile(path);
    ASSERT_TRUE(frame) << path;
    const auto face = FaceDetector::shared().largestFace(frame);
    const auto aligned = face ? FaceAligner::shared().alignedFace(frame, *face, FaceEngineSpec::dlib)
                              : std::nullopt;
    const auto descriptor =
        aligned ? FaceModels::shared().embedding(*aligned, FaceEngineSpec::dlib, context)
                : std::nullopt;
    if (!descriptor) {
      undescribed.push_back(path);
      continue;
    }
    ASSERT_EQ(descriptor->size(), 128u);
    faces.push_back({std::filesystem::path(path).parent_path().filename().string(), *descriptor});
  }
  EXPECT_LE(undescribed.size(), 1u) << "photos without a descriptor: " << undescribed.size();
  ASSERT_GE(faces.size(), 50u);
  EXPECT_FALSE(FaceModels::shared().loadFailed());

  Distribution same, different;
  for (std::size_t i = 0; i < faces.size(); ++i) {
    for (std::size_t j = i + 1; j < faces.size(); ++j) {
      const double d = MatchEngine::euclidean(faces[i].descriptor, faces[j].descriptor);
      if (faces[i].person == faces[j].person) {
        same.add(d, d < 0.6);
      } else {
        different.add(d, d > 0.6);
      }
    }
  }
  std::printf("johns: %zu photos described, %zu not\n", faces.size(), undescribed.size());
  std::printf("same person:      %4d pairs, mean %.3f, min %.3f, max %.3f, below 0.6: %.1f %%\n",
              same.count, same.mean(), same.min, same.max, 100 * same.rate());
  std::printf("different people: %4d pairs, mean %.3f, min %.3f, max %.3f, above 0.6: %.1f %%\n",
              different.count, different.mean(), different.min, different.max,
              100 * different.rate());
  EXPECT_GE(same.rate(), 0.98);
  EXPECT_GE(different.rate(), 0.98);
  EXPECT_GT(same.count, 200);
  EXPECT_GT(different.count, 1000);
}

}  // namespace
}  // namespace quorvel::testing
