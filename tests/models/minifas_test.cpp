// The shipped liveness model, found in the built bundle the way the application finds it and
// run by the OpenCV runtime on real photos.
#include <dlib/image_io.h>
#include <dlib/image_transforms.h>

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "platform/bundle/bundle.hpp"
#include "platform/ml/ml.hpp"
#include "support/models_hooks.hpp"
#include "support/platform_fixture.hpp"

namespace {

using platform::ml::FeatureProvider;
using platform::ml::MultiArray;

constexpr const char* kJohns = "/usr/share/doc/libdlib19.1/examples/johns";
constexpr double kLivenessFloor = 0.55;

// The liveness input of a photo: its largest centred square, scaled to 128 x 128, planar
// R, G, B divided by 255 (row 0 at the top).
MultiArray wideSquareInput(const dlib::matrix<dlib::rgb_pixel>& photo) {
  const long side = std::min(photo.nr(), photo.nc());
  const long top = (photo.nr() - side) / 2, left = (photo.nc() - side) / 2;
  dlib::matrix<dlib::rgb_pixel> square = dlib::subm(photo, top, left, side, side);
  dlib::matrix<dlib::rgb_pixel> scaled(128, 128);
  dlib::resize_image(square, scaled, dlib::interpolate_bilinear());
  auto array = *MultiArray::make({1, 3, 128, 128});
  for (long y = 0; y < 128; ++y) {
    for (long x = 0; x < 128; ++x) {
      const auto& p = scaled(y, x);
      const std::size_t at = static_cast<std::size_t>(y * 128 + x);
      array[at] = p.red / 255.0f;
      array[16384 + at] = p.green / 255.0f;
      array[32768 + at] = p.blue / 255.0f;
    }
  }
  return array;
}

MultiArray uniformInput(float grey) {
  auto array = *MultiArray::make({1, 3, 128, 128});
  std::fill(array.data(), array.data() + array.count(), grey);
  return array;
}

class MiniFASTest : public quorvel::testing::PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    quorvel::testing::useBuiltBundleAndRealRuntime();
    auto& bundle = platform::bundle::Bundle::main();
    // Compiled form first, then the package: the bundle ships the package.
    EXPECT_FALSE(bundle.url("MiniFAS", "mlmodelc"));
    const auto package = bundle.url("MiniFAS", "mlpackage");
    ASSERT_TRUE(package) << "MiniFAS.mlpackage is missing from " << bundle.resourcePath()
                         << "; build the project (scripts/build) to copy Resources/ there";
    auto loaded = platform::ml::loadModel(*package, {platform::ml::ComputeUnits::all});
    ASSERT_TRUE(loaded) << loaded.error().localizedDescription;
    model = loaded.value();
  }

  // The probability of class 0 of the first two output values, as the system reads it.
  std::optional<double> liveness(MultiArray input) {
    FeatureProvider features;
    features.set("input", std::move(input));
    const auto answer = model->prediction(features);
    if (!answer) return std::nullopt;
    for (const auto& name : answer.value().featureNames()) {
      if (const auto* array = answer.value().featureValue(name)->multiArrayValue()) {
        if (array->count() < 2) return std::nullopt;
        const double a = (*array)[0], b = (*array)[1], m = std::max(a, b);
        return std::exp(a - m) / (std::exp(a - m) + std::exp(b - m));
      }
    }
    return std::nullopt;
  }

  std::shared_ptr<platform::ml::Model> model;
};

TEST_F(MiniFASTest, RealFacesPassTheFloorMoreOftenThanUniformGreyFrames) {
  ASSERT_TRUE(std::filesystem::is_directory(kJohns))
      << kJohns << " is missing: install libdlib19.1 (scripts/setup installs it)";
  int photos = 0, photosAbove = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(kJohns)) {
    if (entry.path().extension() != ".jpg") continue;
    dlib::matrix<dlib::rgb_pixel> photo;
    dlib::load_image(photo, entry.path().string());
    const auto p = liveness(wideSquareInput(photo));
    ASSERT_TRUE(p) << entry.path();
    EXPECT_GE(*p, 0.0);
    EXPECT_LE(*p, 1.0);
    ++photos;
    if (*p > kLivenessFloor) ++photosAbove;
  }
  ASSERT_EQ(photos, 55);

  int greys = 0, greysAbove = 0;
  for (int level = 0; level <= 255; level += 15) {
    const auto p = liveness(uniformInput(level / 255.0f));
    ASSERT_TRUE(p) << level;
    ++greys;
    if (*p > kLivenessFloor) ++greysAbove;
  }
  const double photoRate = double(photosAbove) / photos, greyRate = double(greysAbove) / greys;
  std::printf("real faces above %.2f: %d of %d (%.0f %%); uniform greys: %d of %d (%.0f %%)\n",
              kLivenessFloor, photosAbove, photos, 100 * photoRate, greysAbove, greys, 100 * greyRate);
  EXPECT_GT(photoRate, greyRate + 0.2);
  // The self-test's mid-grey frame is not taken for a live face.
  const auto midGrey = liveness(uniformInput(0.5f));
  ASSERT_TRUE(midGrey);
  EXPECT_LT(*midGrey, kLivenessFloor);
}

TEST_F(MiniFASTest, AnswersTheHostsContract) {
  FeatureProvider features;
  features.set("input", uniformInput(0.25f));
  const auto answer = model->prediction(features);
  ASSERT_TRUE(answer) << answer.error().localizedDescription;
  // Exactly one output, a multi-array of two logits.
  ASSERT_EQ(answer.value().featureNames().size(), 1u);
  const auto* array = answer.value().featureValue(answer.value().featureNames()[0])->multiArrayValue();
  ASSERT_NE(array, nullptr);
  EXPECT_EQ(array->shape(), (std::vector<std::int64_t>{1, 2}));
  EXPECT_TRUE(std::isfinite((*array)[0]) && std::isfinite((*array)[1]));
  // The same input gives the same answer.
  const auto again = liveness(uniformInput(0.25f));
  ASSERT_TRUE(again);
  const double m = std::max((*array)[0], (*array)[1]);
  EXPECT_DOUBLE_EQ(*again, std::exp((*array)[0] - m) / (std::exp((*array)[0] - m) + std::exp((*array)[1] - m)));
}

}  // namespace
