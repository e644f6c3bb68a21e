// The personal-use recognition model by build flavour: a customer bundle never carries it;
// a developer bundle carries it, and it recognises people through the model host.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>

#include "foundation/build_flavour.hpp"
#include "platform/bundle/bundle.hpp"
#include "platform/image/image_io.hpp"
#include "recognition/face_aligner.hpp"
#include "recognition/face_detector.hpp"
#include "recognition/face_models.hpp"
#include "recognition/match_engine.hpp"
#include "support/models_hooks.hpp"
#include "support/platform_fixture.hpp"
#include "support/recognition_input_hooks.hpp"

namespace quorvel::testing {
namespace {

class BuildFlavourModelTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    useBuiltBundleAndRealRuntime();
    useRealFaceLandmarks();
  }
};

TEST_F(BuildFlavourModelTest, OnlyDeveloperBundlesCarryTheRecognitionModel) {
  const auto& bundle = platform::bundle::Bundle::main();
  ASSERT_TRUE(bundle.url("MiniFAS", "mlpackage")) << "build the project first";
  const bool carried = bundle.url("VavozuDare", "mlpackage") || bundle.url("VavozuDare", "mlmodelc");
  if (!BuildFlavour::isDeveloper) {
    EXPECT_FALSE(carried) << "a customer bundle carries the developer model";
    auto input = *platform::ml::MultiArray::make({1, 3, 112, 112});
    EXPECT_FALSE(FaceModels::shared().embedding(input, FaceEngineSpec::arcface));
    EXPECT_TRUE(FaceModels::shared().loadFailed());
    return;
  }
  ASSERT_TRUE(carried) << "run scripts/fetch-developer-model, then build again";
  const std::string package = *bundle.url("VavozuDare", "mlpackage");
  for (const char* file : {"fr_feature.onnx", "manifest.json", "LICENSE.txt", "NOTICE"}) {
    EXPECT_TRUE(std::filesystem::exists(package + "/" + file)) << file;
  }
  auto input = *platform::ml::MultiArray::make({1, 3, 112, 112});
  const auto descriptor = FaceModels::shared().embedding(input, FaceEngineSpec::arcface);
  ASSERT_TRUE(descriptor);
  ASSERT_EQ(descriptor->size(), 512u);
  double sum = 0;
  for (float v : *descriptor) sum += double(v) * v;
  EXPECT_NEAR(std::sqrt(sum), 1.0, 1e-4);
  EXPECT_FALSE(FaceModels::shared().loadFailed());
}

TEST_F(BuildFlavourModelTest, TheDeveloperModelTellsPeopleApart) {
  if (!BuildFlavour::isDeveloper) {
    // The customer flavour's side of this is the test above: no model, no descriptor.
    EXPECT_FALSE(platform::bundle::Bundle::main().url("VavozuDare", "mlpackage"));
    return;
  }
  struct Face {
    std::string person;
    FaceDescriptor descriptor;
  };
  std::vector<Face> faces;
  const auto& spec = FaceEngineSpec::arcface;
  for (const std::string& path : johnsPhotos()) {
    const auto frame = platform::image::readImageFile(path);
    ASSERT_TRUE(frame) << path;
    const auto face = FaceDetector::shared().largestFace(frame);
    if (!face) continue;
    const auto aligned = FaceAligner::shared().alignedFace(frame, *face, spec);
    if (!aligned) continue;
    const auto d = FaceModels::shared().embedding(*aligned, spec, *FaceAligner::shared().ciContext());
    ASSERT_TRUE(d) << path;
    faces.push_back({std::filesystem::path(path).parent_path().filename().string(), *d});
  }
  ASSERT_GE(faces.size(), 50u);
  std::vector<double> same, different;
  for (std::size_t i = 0; i < faces.size(); ++i) {
    for (std::size_t j = i + 1; j < faces.size(); ++j) {
      const double c = MatchEngine::cosine(faces[i].descriptor, faces[j].descriptor);
      (faces[i].person == faces[j].person ? same : different).push_back(c);
    }
  }
  auto describe = [](const char* what, const std::vector<double>& v) {
    double sum = 0;
    for (double x : v) sum += x;
    std::printf("%s: %zu pairs, cosine mean %.3f, min %.3f, max %.3f\n", what, v.size(),
                sum / v.size(), *std::min_element(v.begin(), v.end()),
                *std::max_element(v.begin(), v.end()));
    return sum / v.size();
  };
  const double sameMean = describe("VavozuDare same person", same);
  const double differentMean = describe("VavozuDare different people", different);
  EXPECT_GT(sameMean, differentMean + 0.3);
  // Pairs on the right side of the halfway point between the two means.
  const double middle = (sameMean + differentMean) / 2;
  const auto sameRight = std::count_if(same.begin(), same.end(), [&](double c) { return c > middle; });
  const auto differentRight =
      std::count_if(different.begin(), different.end(), [&](double c) { return c < middle; });
  EXPECT_GE(double(sameRight) / same.size(), 0.95);
  EXPECT_GE(double(differentRight) / different.size(), 0.95);
}

}  // namespace
}  // namespace quorvel::testing
