// The OpenCV runtime on the real MiniFASNetV2 network: manifests, loading failures, the
// input contract and the adaptation the manifest describes; the layer's values (multi-arrays,
// feature providers) and the runtime installed by default. (The simulated runtime is
// exercised by the model host's tests, the shipped package's answers by the real models' tests.)
#include <cmath>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/ml/ml.hpp"
#include "platform/ml/onnx_model.hpp"
#include "support/platform_fixture.hpp"

namespace {

using platform::ml::ComputeUnits;
using platform::ml::ErrorCode;
using platform::ml::FeatureProvider;
using platform::ml::ModelManifest;
using platform::ml::MultiArray;
using platform::ml::OnnxRuntime;

const std::string kNetwork = QUORVEL_SOURCE_DIR "/Resources/MiniFAS.mlpackage/2.7_80x80_MiniFASNetV2.onnx";
const std::string kSecondNetwork = QUORVEL_SOURCE_DIR "/Resources/MiniFAS.mlpackage/4_0_0_80x80_MiniFASNetV1SE.onnx";

// The shipped manifest, with one line replaceable.
std::string manifest(const std::string& crop = "[0, 0, 1, 1]", const std::string& elements = "[[1], [0, 2]]",
                     const std::string& resize = "[80, 80]") {
  return R"({"format": 1, "network": "net.onnx",
    "input": {"name": "input", "shape": [1, 3, 128, 128], "crop": )" + crop +
         R"(, "resize": )" + resize + R"(, "interpolation": "linear", "channels": [2, 1, 0],
              "scale": 255.0, "bias": [0, 0, 0]},
    "output": {"name": "output", "elements": )" + elements + "}}";
}

class OnnxRuntimeTest : public quorvel::testing::PlatformTest {
 protected:
  // A model folder holding the network as "net.onnx" (and the second one as "se.onnx") and,
  // unless empty, `manifestText`.
  std::string package(const std::string& name, const std::string& manifestText, bool both = false) {
    const std::string folder = home() + "/" + name;
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(kNetwork, folder + "/net.onnx");
    if (both) std::filesystem::copy_file(kSecondNetwork, folder + "/se.onnx");
    if (!manifestText.empty()) std::ofstream(folder + "/manifest.json") << manifestText;
    return folder;
  }

  // A [1, 3, side, side] input whose pixel (row, column) has colour colourAt(row, column).
  template <class F>
  static FeatureProvider input(int side, F colourAt, const std::string& name = "input") {
    auto array = MultiArray::make({1, 3, side, side});
    const std::size_t plane = static_cast<std::size_t>(side) * side;
    for (int y = 0; y < side; ++y) {
      for (int x = 0; x < side; ++x) {
        const std::array<float, 3> rgb = colourAt(y, x);
        for (std::size_t c = 0; c < 3; ++c) (*array)[c * plane + y * side + x] = rgb[c];
      }
    }
    FeatureProvider features;
    features.set(name, std::move(*array));
    return features;
  }
  static FeatureProvider uniform(int side, std::array<float, 3> rgb,
                                 const std::string& name = "input") {
    return input(side, [rgb](int, int) { return rgb; }, name);
  }
  static std::vector<float> values(const platform::ml::Result<FeatureProvider>& answer) {
    EXPECT_TRUE(answer) << (answer ? "" : answer.error().localizedDescription);
    if (!answer) return {};
    const auto* array = answer.value().featureValue("output")->multiArrayValue();
    return std::vector<float>(array->data(), array->data() + array->count());
  }

  OnnxRuntime runtime;
};

TEST(ModelManifestTest, RejectsEveryMalformedField) {
  const std::string base = R"("network": "n.onnx", "input": {"shape": [1, 3, 8, 8])";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"not json", "{"},
      {"array", "[1]"},
      {"no format", R"({"network": "n.onnx"})"},
      {"format 2", R"({"format": 2, "network": "n.onnx"})"},
      {"no network", R"({"format": 1})"},
      {"network leaves the folder", R"({"format": 1, "network": "../n.onnx"})"},
      {"network in a sub-folder", R"({"format": 1, "network": "a/n.onnx"})"},
      {"shape of three", R"({"format": 1, "network": "n.onnx", "input": {"shape": [1, 3, 8]}})"},
      {"batch of two", R"({"format": 1, "network": "n.onnx", "input": {"shape": [2, 3, 8, 8]}})"},
      {"zero side", R"({"format": 1, "network": "n.onnx", "input": {"shape": [1, 3, 0, 8]}})"},
      {"text side", R"({"format": 1, "network": "n.onnx", "input": {"shape": [1, 3, "8", 8]}})"},
      {"crop outside", "{\"format\": 1, " + base + R"(, "crop": [0.5, 0, 0.6, 1]}})"},
      {"empty crop", "{\"format\": 1, " + base + R"(, "crop": [0, 0, 0, 1]}})"},
      {"negative crop", "{\"format\": 1, " + base + R"(, "crop": [-0.1, 0, 0.5, 1]}})"},
      {"resize zero", "{\"format\": 1, " + base + R"(, "resize": [0, 80]}})"},
      {"resize of one", "{\"format\": 1, " + base + R"(, "resize": [80]}})"},
      {"resize past 32 bits", "{\"format\": 1, " + base + R"(, "resize": [4294967376, 80]}})"},
      {"interpolation", "{\"format\": 1, " + base + R"(, "interpolation": "cubic"}})"},
      {"channel 3 of 3", "{\"format\": 1, " + base + R"(, "channels": [3, 1, 0]}})"},
      {"negative channel", "{\"format\": 1, " + base + R"(, "channels": [-1]}})"},
      {"bias count", "{\"format\": 1, " + base + R"(, "bias": [0, 0]}})"},
      {"scale text", "{\"format\": 1, " + base + R"(, "scale": "255"}})"},
      {"adapt without shape", R"({"format": 1, "network": "n.onnx", "input": {"scale": 255}})"},
      {"empty elements", R"({"format": 1, "network": "n.onnx", "output": {"elements": []}})"},
      {"empty element", R"({"format": 1, "network": "n.onnx", "output": {"elements": [[1], []]}})"},
      {"negative index", R"({"format": 1, "network": "n.onnx", "output": {"elements": [[-1]]}})"},
      {"output name", R"({"format": 1, "network": "n.onnx", "output": {"name": ""}})"},
      {"network and networks", R"({"format": 1, "network": "n.onnx", "networks": [{"network": "m.onnx"}]})"},
      {"no networks", R"({"format": 1, "networks": []})"},
      {"a network that is not an object", R"({"format": 1, "networks": ["n.onnx"]})"},
      {"a network without a file", R"({"format": 1, "networks": [{"scale": 2}]})"},
      {"adaptation beside networks", R"({"format": 1, "input": {"shape": [1, 3, 8, 8], "scale": 2},
                                         "networks": [{"network": "n.onnx"}]})"},
      {"a network's bad crop", R"({"format": 1, "input": {"shape": [1, 3, 8, 8]},
                                   "networks": [{"network": "n.onnx", "crop": [0, 0, 2, 1]}]})"},
  };
  for (const auto& [what, text] : cases) {
    const auto parsed = ModelManifest::parse(text);
    ASSERT_FALSE(parsed) << what;
    EXPECT_EQ(parsed.error().localizedDescription.rfind("The model manifest is not valid", 0), 0u) << what;
  }
  // The smallest valid manifest changes nothing.
  const auto minimal = ModelManifest::parse(R"({"format": 1, "network": "n.onnx"})");
  ASSERT_TRUE(minimal);
  EXPECT_FALSE(minimal.value().adaptsInput());
  EXPECT_FALSE(minimal.value().elements);

  // The shipped package: two networks, each seeing the whole square at its own 80 x 80, B, G, R, 0-255.
  std::ifstream stream(QUORVEL_SOURCE_DIR "/Resources/MiniFAS.mlpackage/manifest.json");
  const auto shipped = ModelManifest::parse(std::string(std::istreambuf_iterator<char>(stream), {}));
  ASSERT_TRUE(shipped) << shipped.error().localizedDescription;
  ASSERT_EQ(shipped.value().networks.size(), 2u);
  for (const auto& stage : shipped.value().networks) {
    EXPECT_EQ(stage.crop, (std::array<double, 4>{0, 0, 1, 1}));
    EXPECT_EQ(stage.resize, (std::array<int, 2>{80, 80}));
    EXPECT_EQ(stage.channels, (std::vector<int>{2, 1, 0}));
    EXPECT_EQ(stage.scale, 255.0);
  }
}

TEST_F(OnnxRuntimeTest, FoldersThatCannotLoadSayWhy) {
  // Without an installed runtime the OpenCV one is used.
  platform::ml::install(nullptr);
  EXPECT_NE(dynamic_cast<OnnxRuntime*>(platform::ml::current().get()), nullptr);
  const auto missing = platform::ml::loadModel(home() + "/Missing.mlpackage", {});
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().code, ErrorCode::io);

  std::ofstream(home() + "/File.mlpackage") << "not a folder";
  EXPECT_FALSE(runtime.loadModel(home() + "/File.mlpackage", {}));

  std::filesystem::create_directories(home() + "/Empty.mlpackage");
  EXPECT_FALSE(runtime.loadModel(home() + "/Empty.mlpackage", {}));

  // Two networks and no manifest to choose between them.
  const std::string two = package("Two.mlpackage", "");
  std::filesystem::copy_file(kNetwork, two + "/other.onnx");
  EXPECT_FALSE(runtime.loadModel(two, {}));

  // A network file that is not ONNX at all.
  const std::string garbage = package("Garbage.mlpackage", "");
  std::ofstream(garbage + "/net.onnx") << std::string(4096, '\x7f');
  const auto unreadable = runtime.loadModel(garbage, {});
  ASSERT_FALSE(unreadable);
  EXPECT_NE(unreadable.error().localizedDescription.find("net.onnx"), std::string::npos);

  // A malformed manifest.
  EXPECT_FALSE(runtime.loadModel(package("Bad.mlpackage", "{\"format\": 1"), {}));

  // A manifest that does not fit its network: the network answers three logits, so index 5
  // does not exist; and its fully connected head needs 80 x 80.
  const auto beyond = runtime.loadModel(package("Beyond.mlpackage", manifest("[0, 0, 1, 1]", "[[1], [0, 5]]")), {});
  ASSERT_FALSE(beyond);
  EXPECT_NE(beyond.error().localizedDescription.find("index 5"), std::string::npos)
      << beyond.error().localizedDescription;
  EXPECT_FALSE(runtime.loadModel(package("Small.mlpackage", manifest("[0, 0, 1, 1]", "[[1], [0, 2]]", "[40, 40]")), {}));
}

TEST_F(OnnxRuntimeTest, TheInputContractIsChecked) {
  auto model = runtime.loadModel(package("M.mlpackage", manifest()), {ComputeUnits::cpuOnly});
  ASSERT_TRUE(model) << model.error().localizedDescription;
  EXPECT_EQ(model.value()->configuration().computeUnits, ComputeUnits::cpuOnly);

  const auto wrongName = model.value()->prediction(uniform(128, {0, 0, 0}, "image"));
  ASSERT_FALSE(wrongName);
  EXPECT_EQ(wrongName.error().code, ErrorCode::featureType);

  const auto wrongSide = model.value()->prediction(uniform(112, {0.5f, 0.5f, 0.5f}));
  ASSERT_FALSE(wrongSide);
  EXPECT_EQ(wrongSide.error().code, ErrorCode::featureType);
  EXPECT_NE(wrongSide.error().localizedDescription.find("[1, 3, 112, 112]"), std::string::npos);

  FeatureProvider notAnArray;
  notAnArray.set("input", 0.5);
  EXPECT_FALSE(model.value()->prediction(notAnArray));

  const auto good = values(model.value()->prediction(uniform(128, {0.5f, 0.5f, 0.5f})));
  EXPECT_EQ(good.size(), 2u);

  // No manifest: nothing says what the network takes, so only the one form every model of
  // the application takes, [1, C, H, W], reaches it. OpenCV itself divides by zero on a
  // five-dimensional input instead of failing.
  auto bare = runtime.loadModel(package("Bare.mlpackage", ""), {}).value();
  for (const std::vector<std::int64_t>& shape :
       std::vector<std::vector<std::int64_t>>{{1, 3, 80, 80, 1}, {1, 1, 3, 80, 80}, {1, 3, 80, 80, 1, 1},
                                              {3, 80, 80}, {2, 3, 80, 80}, {1, 3, 0, 80}, {19200}}) {
    auto array = MultiArray::make(shape);
    ASSERT_TRUE(array);
    FeatureProvider features;
    features.set("input", std::move(*array));
    const auto answer = bare->prediction(features);
    ASSERT_FALSE(answer) << shape.size() << " dimensions";
    EXPECT_EQ(answer.error().code, ErrorCode::featureType) << answer.error().localizedDescription;
  }
  // The network's own size still runs.
  EXPECT_EQ(values(bare->prediction(uniform(80, {128, 128, 128}))).size(), 3u);
}

TEST_F(OnnxRuntimeTest, TheManifestAdaptsColoursLogitsAndCropExactly) {
  auto adapted = runtime.loadModel(package("Adapted.mlpackage", manifest()), {}).value();
  // The bare network: no manifest, so the input goes in unchanged (80 x 80, B, G, R, 0-255).
  auto bare = runtime.loadModel(package("Bare.mlpackage", ""), {}).value();

  for (const std::array<float, 3> rgb : {std::array<float, 3>{0.8f, 0.5f, 0.2f},
                                         std::array<float, 3>{0.1f, 0.6f, 0.9f},
                                         std::array<float, 3>{0.5f, 0.5f, 0.5f}}) {
    const auto ours = values(adapted->prediction(uniform(128, rgb)));
    const auto raw = values(bare->prediction(
        uniform(80, {rgb[2] * 255.0f, rgb[1] * 255.0f, rgb[0] * 255.0f})));
    ASSERT_EQ(ours.size(), 2u);
    ASSERT_EQ(raw.size(), 3u);
    EXPECT_NEAR(ours[0], raw[1], 1e-3);  // element 0: the live logit
    const double spoof = std::log(std::exp(double(raw[0])) + std::exp(double(raw[2])));
    EXPECT_NEAR(ours[1], spoof, 1e-3);
    // The two-class softmax of the answer is the network's three-class probability of live.
    const double live = std::exp(double(raw[1])) /
                        (std::exp(double(raw[0])) + std::exp(double(raw[1])) + std::exp(double(raw[2])));
    EXPECT_NEAR(1.0 / (1.0 + std::exp(double(ours[1]) - double(ours[0]))), live, 1e-4);
  }
  // The channel order matters: the same colours fed as R, G, B answer differently.
  const auto ours = values(adapted->prediction(uniform(128, {0.8f, 0.5f, 0.2f})));
  const auto swapped = values(bare->prediction(uniform(80, {0.8f * 255, 0.5f * 255, 0.2f * 255})));
  EXPECT_GT(std::fabs(ours[0] - swapped[1]), 1e-3);

  // The crop is measured from the top left: only the top-left quadrant (rows and columns 0 to
  // 63) has the colour `inside`, and a model cropped to it sees nothing else.
  const std::array<float, 3> inside{0.9f, 0.4f, 0.2f}, outside{0.1f, 0.2f, 0.7f};
  const auto quadrant = input(128, [&](int y, int x) { return y < 64 && x < 64 ? inside : outside; });
  auto cropped = runtime.loadModel(package("Crop.mlpackage", manifest("[0, 0, 0.5, 0.5]")), {}).value();
  const auto fromQuadrant = values(cropped->prediction(quadrant));
  const auto fromUniform = values(adapted->prediction(uniform(128, inside)));
  ASSERT_EQ(fromQuadrant.size(), 2u);
  EXPECT_NEAR(fromQuadrant[0], fromUniform[0], 1e-4);
  EXPECT_NEAR(fromQuadrant[1], fromUniform[1], 1e-4);
  // Without the crop the other colour is seen.
  const auto wholeQuadrant = values(adapted->prediction(quadrant));
  EXPECT_GT(std::fabs(wholeQuadrant[0] - fromUniform[0]) + std::fabs(wholeQuadrant[1] - fromUniform[1]), 1e-2);
}

TEST_F(OnnxRuntimeTest, SeveralNetworksAnswerTheMeanOfTheirAdaptedAnswers) {
  // Each network with an adaptation of its own: the first sees the top-left quadrant only.
  const std::string first = R"({"network": "net.onnx", "crop": [0, 0, 0.5, 0.5], "resize": [80, 80],
                                "channels": [2, 1, 0], "scale": 255.0})";
  const std::string second = R"({"network": "se.onnx", "resize": [80, 80], "interpolation": "linear",
                                 "channels": [2, 1, 0], "scale": 255.0})";
  const auto model = [&](const std::string& name, const std::string& networks) {
    return runtime.loadModel(package(name, R"({"format": 1, "input": {"shape": [1, 3, 128, 128]}, "networks": [)" +
                                               networks + R"(], "output": {"elements": [[1], [0, 2]]}})", true),
                             {});
  };
  auto both = model("Both.mlpackage", first + ", " + second);
  ASSERT_TRUE(both) << both.error().localizedDescription;
  auto one = model("One.mlpackage", first).value();
  auto other = model("Other.mlpackage", second).value();
  const auto frame = input(128, [](int y, int x) {
    return std::array<float, 3>{float(y) / 127.0f, float(x) / 127.0f, 0.5f};
  });
  const auto mean = values(both.value()->prediction(frame));
  const auto a = values(one->prediction(frame)), b = values(other->prediction(frame));
  ASSERT_EQ(mean.size(), 2u);
  EXPECT_NEAR(mean[0], (a[0] + b[0]) / 2, 1e-4);
  EXPECT_NEAR(mean[1], (a[1] + b[1]) / 2, 1e-4);
  EXPECT_GT(std::fabs(a[0] - a[1] - (b[0] - b[1])), 1e-2);  // the two networks do disagree
  // A listed network that is missing fails the load.
  const std::string absent = package("Absent.mlpackage", R"({"format": 1, "networks": [{"network": "net.onnx"},
                                                                                     {"network": "gone.onnx"}]})");
  EXPECT_FALSE(runtime.loadModel(absent, {}));
}

TEST_F(OnnxRuntimeTest, PredictionsFromSeveralThreadsAgree) {
  auto model = runtime.loadModel(package("M.mlpackage", manifest()), {}).value();
  const auto frame = input(128, [](int y, int x) {
    return std::array<float, 3>{float(y) / 127.0f, float(x) / 127.0f, float((x + y) % 128) / 127.0f};
  });
  const auto expected = values(model->prediction(frame));
  std::vector<std::thread> threads;
  std::atomic<int> mismatches{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20; ++i) {
        if (values(model->prediction(frame)) != expected) ++mismatches;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
}

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

}  // namespace
