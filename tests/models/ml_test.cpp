// The machine-learning layer's values (multi-arrays, feature providers) and the runtime
// installed by default. (The simulated runtime is exercised by the model host's tests.)
#include "platform/ml/ml.hpp"
#include "platform/ml/onnx_model.hpp"
#include "support/platform_fixture.hpp"

namespace {

using platform::ml::ErrorCode;
using platform::ml::FeatureProvider;
using platform::ml::MultiArray;

TEST(MultiArrayTest, ShapesCountsStridesZeroFillAndCopies) {
  auto array = MultiArray::make({1, 3, 128, 128});
  ASSERT_TRUE(array);
  EXPECT_EQ(array->count(), 3u * 128 * 128);
  EXPECT_EQ(array->strides(), (std::vector<std::int64_t>{3 * 128 * 128, 128 * 128, 128, 1}));
  for (std::size_t i = 0; i < array->count(); ++i) ASSERT_EQ((*array)[i], 0.0f);
  // Element (channel 2, row 5, column 7) at its flat index.
  MultiArray copy = *array;
  (*array)[2 * 128 * 128 + 5 * 128 + 7] = 0.5f;
  EXPECT_EQ(array->data()[32768 + 647], 0.5f);
  EXPECT_EQ(copy[32768 + 647], 0.0f);  // copies are independent

  auto empty = MultiArray::make({1, 0, 128});
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->count(), 0u);
  // Impossible shapes give no value.
  EXPECT_FALSE(MultiArray::make({}));
  EXPECT_FALSE(MultiArray::make({1, -3, 4}));
  EXPECT_FALSE(MultiArray::make({1 << 20, 1 << 20}));                      // 2^40 elements
  EXPECT_FALSE(MultiArray::make({std::int64_t{1} << 62, std::int64_t{1} << 62}));  // overflow
  EXPECT_TRUE(MultiArray::make({std::int64_t{1} << 62, 0}));  // no elements at all
}

TEST(FeatureProviderTest, SetReplacesAndTypesAreKept) {
  FeatureProvider features;
  EXPECT_TRUE(features.empty());
  features.set("score", 0.25);
  features.set("label", std::string("live"));
  features.set("output", *MultiArray::make({1, 2}));
  features.set("score", 0.75);  // replaces, keeps its place
  EXPECT_EQ(features.featureNames(), (std::vector<std::string>{"score", "label", "output"}));
  ASSERT_NE(features.featureValue("score"), nullptr);
  EXPECT_EQ(*features.featureValue("score")->doubleValue(), 0.75);
  EXPECT_EQ(features.featureValue("score")->multiArrayValue(), nullptr);
  EXPECT_EQ(*features.featureValue("label")->stringValue(), "live");
  EXPECT_NE(features.featureValue("output")->multiArrayValue(), nullptr);
  EXPECT_EQ(features.featureValue("missing"), nullptr);
}

class MLRuntimeTest : public quorvel::testing::PlatformTest {};

TEST_F(MLRuntimeTest, WithoutAnInstalledRuntimeTheOnnxOneIsUsed) {
  platform::ml::install(nullptr);
  EXPECT_NE(dynamic_cast<platform::ml::OnnxRuntime*>(platform::ml::current().get()), nullptr);
  const auto missing = platform::ml::loadModel(home() + "/None.mlpackage", {});
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().code, ErrorCode::io);
}

}  // namespace
