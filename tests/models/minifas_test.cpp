// The shipped liveness model, found in the built bundle the way the application finds it and
// run by the OpenCV runtime (its pass rates on real faces and flat frames: face_models).
#include <algorithm>
#include <cmath>

#include "platform/bundle/bundle.hpp"
#include "platform/ml/ml.hpp"
#include "support/models_hooks.hpp"
#include "support/platform_fixture.hpp"

namespace {

using platform::ml::FeatureProvider;
using platform::ml::MultiArray;

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
