#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/ml/ml.hpp"
#include "platform/ml/onnx_model.hpp"
#include "platform/ml/simulated_ml.hpp"
#include "support/models_hooks.hpp"
#include "support/platform_fixture.hpp"

namespace {

using platform::ml::ComputeUnits;
using platform::ml::Error;
using platform::ml::ErrorCode;
using platform::ml::FeatureProvider;
using platform::ml::MultiArray;
using platform::ml::Result;
using quorvel::testing::simulatedML;

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

class SimulatedRuntimeTest : public quorvel::testing::PlatformTest {
 protected:
  static FeatureProvider inputOf(float value) {
    auto array = MultiArray::make({1, 3, 2, 2});
    for (std::size_t i = 0; i < array->count(); ++i) (*array)[i] = value;
    FeatureProvider input;
    input.set("input", std::move(*array));
    return input;
  }
  static std::vector<float> outputValues(const Result<FeatureProvider>& answer,
                                         const std::string& name = "output") {
    const auto* array = answer.value().featureValue(name)->multiArrayValue();
    return std::vector<float>(array->data(), array->data() + array->count());
  }
};

TEST_F(SimulatedRuntimeTest, IsTheInstalledRuntimeAndFindsModelsByPathOrFolderName) {
  simulatedML().addModel("MiniFAS.mlpackage", std::vector<float>{2.0f, 0.0f});
  simulatedML().addModel("/exact/Other.mlmodelc", std::vector<float>{1.0f});
  auto byName = platform::ml::loadModel("/anywhere/Resources/MiniFAS.mlpackage",
                                        {ComputeUnits::cpuOnly});
  ASSERT_TRUE(byName);
  EXPECT_EQ(byName.value()->configuration().computeUnits, ComputeUnits::cpuOnly);
  const auto answer = byName.value()->prediction(inputOf(0.5f));
  ASSERT_TRUE(answer);
  EXPECT_EQ(outputValues(answer), (std::vector<float>{2.0f, 0.0f}));
  EXPECT_EQ(simulatedML().predictionCount("MiniFAS.mlpackage"), 1);
  EXPECT_EQ(*simulatedML().lastInput("MiniFAS.mlpackage").featureValue("input")->multiArrayValue()->data(), 0.5f);

  EXPECT_TRUE(platform::ml::loadModel("/exact/Other.mlmodelc", {}));
  // The full-path key does not answer for another folder of the same name.
  const auto elsewhere = platform::ml::loadModel("/elsewhere/Other.mlmodelc", {});
  ASSERT_FALSE(elsewhere);
  EXPECT_EQ(elsewhere.error().code, ErrorCode::io);

  const auto attempts = simulatedML().loadAttempts();
  ASSERT_EQ(attempts.size(), 3u);
  EXPECT_EQ(attempts[0].path, "/anywhere/Resources/MiniFAS.mlpackage");
  EXPECT_EQ(attempts[0].configuration.computeUnits, ComputeUnits::cpuOnly);
  EXPECT_TRUE(attempts[0].loaded);
  EXPECT_TRUE(attempts[1].loaded);
  EXPECT_FALSE(attempts[2].loaded);
}

TEST_F(SimulatedRuntimeTest, LoadAndPredictionFailuresAreScriptable) {
  simulatedML().failLoading("Broken.mlmodelc", Error{ErrorCode::generic, "corrupt"});
  const auto broken = platform::ml::loadModel("/b/Broken.mlmodelc", {});
  ASSERT_FALSE(broken);
  EXPECT_EQ(broken.error().localizedDescription, "corrupt");
  EXPECT_FALSE(platform::ml::loadModel("/b/Unknown.mlpackage", {}));

  simulatedML().addFailingModel("Throws.mlpackage", Error{ErrorCode::generic, "boom"});
  auto throws = platform::ml::loadModel("/b/Throws.mlpackage", {});
  ASSERT_TRUE(throws);
  const auto answer = throws.value()->prediction(inputOf(1));
  ASSERT_FALSE(answer);
  EXPECT_EQ(answer.error().localizedDescription, "boom");
  EXPECT_EQ(simulatedML().predictionCount("Throws.mlpackage"), 1);

  // Outputs of any type and order, as the test chooses.
  simulatedML().addModel("Mixed.mlpackage", [](const FeatureProvider&) -> Result<FeatureProvider> {
    FeatureProvider out;
    out.set("classLabel", std::string("live"));
    out.set("probability", 0.9);
    return out;
  });
  const auto mixed = platform::ml::loadModel("/b/Mixed.mlpackage", {}).value()->prediction(inputOf(0));
  ASSERT_TRUE(mixed);
  EXPECT_EQ(mixed.value().featureNames(), (std::vector<std::string>{"classLabel", "probability"}));
}

TEST_F(SimulatedRuntimeTest, ALoadedModelFollowsLaterScriptChangesAndOutlivesTheRuntime) {
  auto runtime = std::make_shared<platform::ml::SimulatedRuntime>();
  runtime->addModel("M.mlpackage", std::vector<float>{1.0f});
  auto model = runtime->loadModel("/x/M.mlpackage", {}).value();
  runtime->addModel("M.mlpackage", std::vector<float>{3.0f, 4.0f});
  EXPECT_EQ(outputValues(model->prediction(inputOf(0))), (std::vector<float>{3.0f, 4.0f}));
  runtime->remove("M.mlpackage");
  EXPECT_FALSE(model->prediction(inputOf(0)));
  runtime->addModel("M.mlpackage", std::vector<float>{5.0f});
  runtime.reset();
  EXPECT_EQ(outputValues(model->prediction(inputOf(0))), (std::vector<float>{5.0f}));
}

TEST_F(SimulatedRuntimeTest, ALoadCanBeHeldWhileAnotherThreadLoads) {
  simulatedML().addModel("Slow.mlpackage", std::vector<float>{1.0f});
  simulatedML().addModel("Fast.mlpackage", std::vector<float>{2.0f});
  std::mutex mutex;
  std::condition_variable changed;
  bool slowArrived = false, released = false;
  simulatedML().setLoadHook([&](const std::string& path) {
    if (path.find("Slow") == std::string::npos) return;
    std::unique_lock<std::mutex> lock(mutex);
    slowArrived = true;
    changed.notify_all();
    changed.wait(lock, [&] { return released; });
  });
  std::thread slow([] { EXPECT_TRUE(platform::ml::loadModel("/b/Slow.mlpackage", {})); });
  {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return slowArrived; });
  }
  // The held load keeps no lock: another load finishes meanwhile and is recorded first.
  EXPECT_TRUE(platform::ml::loadModel("/b/Fast.mlpackage", {}));
  EXPECT_EQ(simulatedML().loadAttempts().size(), 1u);
  {
    std::lock_guard<std::mutex> lock(mutex);
    released = true;
  }
  changed.notify_all();
  slow.join();
  const auto attempts = simulatedML().loadAttempts();
  ASSERT_EQ(attempts.size(), 2u);
  EXPECT_EQ(attempts[0].path, "/b/Fast.mlpackage");
  EXPECT_EQ(attempts[1].path, "/b/Slow.mlpackage");
  EXPECT_TRUE(attempts[1].loaded);
}

TEST_F(SimulatedRuntimeTest, WithoutAnInstalledRuntimeTheOnnxOneIsUsed) {
  platform::ml::install(nullptr);
  EXPECT_NE(dynamic_cast<platform::ml::OnnxRuntime*>(platform::ml::current().get()), nullptr);
  const auto missing = platform::ml::loadModel(home() + "/None.mlpackage", {});
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().code, ErrorCode::io);
}

}  // namespace
