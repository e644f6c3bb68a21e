// The model host on simulated models: where models are looked up, what a failed load leaves
// behind, what a prediction answers, the liveness arithmetic, pre-warming and concurrent
// first uses.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <latch>
#include <stdexcept>
#include <thread>

#include "foundation/build_flavour.hpp"
#include "foundation/settings.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "platform/image/image.hpp"
#include "platform/system/system_version_linux.hpp"
#include "recognition/face_aligner.hpp"
#include "recognition/face_models.hpp"
#include "recognition/native_dlib.hpp"
#include "support/face_models_hooks.hpp"
#include "support/models_hooks.hpp"
#include "support/platform_fixture.hpp"

namespace quorvel::testing {
namespace {

using platform::ml::ComputeUnits;
using platform::ml::Error;
using platform::ml::ErrorCode;
using platform::ml::FeatureProvider;
using platform::ml::MultiArray;
using platform::ml::Result;

MultiArray livenessInput() { return *MultiArray::make({1, 3, 128, 128}); }
MultiArray recognitionInput() { return *MultiArray::make({1, 3, 112, 112}); }

// A model answer of one multi-array, named "output".
Result<FeatureProvider> answerOf(const std::vector<float>& values) {
  auto array = *MultiArray::make({1, static_cast<std::int64_t>(values.size())});
  std::copy(values.begin(), values.end(), array.data());
  FeatureProvider out;
  out.set("output", std::move(array));
  return Result<FeatureProvider>(std::move(out));
}

class ModelHostTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    addBundleFolder("MiniFAS.mlpackage");
  }

  // The paths of every load attempt, in order, as bundle-relative names.
  std::vector<std::string> attemptedNames() const {
    std::vector<std::string> names;
    for (const auto& attempt : simulatedML().loadAttempts()) {
      names.push_back(std::filesystem::path(attempt.path).filename().string());
    }
    return names;
  }

  // The shape of the array the model `key` was last given as "input".
  static std::vector<std::int64_t> lastInputShape(const std::string& key) {
    const FeatureProvider features = simulatedML().lastInput(key);
    const MultiArray* array = features.featureValue("input")->multiArrayValue();
    return array ? array->shape() : std::vector<std::int64_t>{};
  }

  void giveVavozuDare(std::vector<float> output) {
    addBundleFolder("VavozuDare.mlpackage");
    simulatedML().addModel("VavozuDare.mlpackage", std::move(output));
  }

  // An aligned dlib face of one colour, and the context faces are read with.
  const platform::image::Image face =
      platform::image::Image::color({0.5, 0.4, 0.3, 1}).cropped(platform::Rect(0, 0, 150, 150));
  static const platform::image::Context& context() { return *FaceAligner::shared().ciContext(); }
};

TEST_F(ModelHostTest, ComputeUnitsAreTheCPUAloneAboveMajorVersion26OfTheRunningSystem) {
  EXPECT_EQ(CoreMLCompatibility::computeUnits({14, 0, 0}), ComputeUnits::all);
  EXPECT_EQ(CoreMLCompatibility::computeUnits({26, 9, 9}), ComputeUnits::all);
  EXPECT_EQ(CoreMLCompatibility::computeUnits({27, 0, 0}), ComputeUnits::cpuOnly);

  // The running system's version decides the configuration a model is loaded with.
  simulatedSystemVersion().setVersion({27, 1, 0});
  EXPECT_EQ(CoreMLCompatibility::computeUnits(), ComputeUnits::cpuOnly);
  simulatedML().addModel("MiniFAS.mlpackage", std::vector<float>{2, 0});
  ASSERT_TRUE(FaceModels::shared().liveness(livenessInput()));
  ASSERT_EQ(simulatedML().loadAttempts().size(), 1u);
  EXPECT_EQ(simulatedML().loadAttempts()[0].configuration.computeUnits, ComputeUnits::cpuOnly);

  FaceModels other;
  simulatedSystemVersion().setVersion({26, 0, 0});
  ASSERT_TRUE(other.liveness(livenessInput()));
  EXPECT_EQ(simulatedML().loadAttempts().back().configuration.computeUnits, ComputeUnits::all);

  // Release texts give their leading numbers.
  using platform::system::OperatingSystemVersion;
  using platform::system::parseRelease;
  EXPECT_EQ(parseRelease("6.1.0-18-amd64"), (OperatingSystemVersion{6, 1, 0}));
  EXPECT_EQ(parseRelease("27.2"), (OperatingSystemVersion{27, 2, 0}));
  EXPECT_EQ(parseRelease("5"), (OperatingSystemVersion{5, 0, 0}));
  EXPECT_EQ(parseRelease("14.x"), (OperatingSystemVersion{14, 0, 0}));
  EXPECT_FALSE(parseRelease(""));
  EXPECT_FALSE(parseRelease("v6.1"));
  EXPECT_FALSE(parseRelease("99999999999.1"));
  // The machine's own release reads as some version without failing.
  EXPECT_GE(platform::system::LinuxSystemVersion().operatingSystemVersion().majorVersion, 1);
}

TEST_F(ModelHostTest, LivenessIsTheSoftmaxOfClassZeroWithoutOverflow) {
  const std::pair<std::vector<float>, std::optional<float>> cases[] = {
      {{2, 0}, 0.880797f},      {{0, 0}, 0.5f},         {{1000, 0}, 1.0f},
      {{0, 1000}, 0.0f},        {{-1000, -1000}, 0.5f}, {{1e30f, -1e30f}, 1.0f},
      {{0, 2, 99, 99}, 0.119203f},  // only the first two values count
      // A logit that is not a number gives no probability at all.
      {{NAN, 0}, std::nullopt}, {{INFINITY, 0}, std::nullopt},
  };
  for (const auto& [logits, expected] : cases) {
    FaceModels models;
    simulatedML().addModel("MiniFAS.mlpackage", logits);
    const auto live = models.liveness(livenessInput());
    ASSERT_EQ(live.has_value(), expected.has_value()) << logits[0] << ", " << logits[1];
    EXPECT_NEAR(live.value_or(0), expected.value_or(0), 1e-6) << logits[0] << ", " << logits[1];
  }
}

TEST_F(ModelHostTest, LivenessReadsTheFirstMultiArrayOfTheAnswerToTheGivenArray) {
  simulatedML().addModel("MiniFAS.mlpackage", std::vector<float>{2, 0});
  MultiArray input = livenessInput();
  input[5] = 0.25f;
  ASSERT_TRUE(FaceModels::shared().liveness(input));
  const FeatureProvider seen = simulatedML().lastInput("MiniFAS.mlpackage");
  EXPECT_EQ(seen.featureNames(), std::vector<std::string>{"input"});
  EXPECT_EQ(lastInputShape("MiniFAS.mlpackage"), input.shape());
  EXPECT_EQ((*seen.featureValue("input")->multiArrayValue())[5], 0.25f);

  // Outputs that are not two logits give no value.
  for (const auto& output : {std::vector<float>{3}, std::vector<float>{}}) {
    simulatedML().addModel("MiniFAS.mlpackage", output);
    EXPECT_FALSE(FaceModels::shared().liveness(livenessInput()));
  }
  // Only features that are not multi-arrays: no value.
  simulatedML().addModel("MiniFAS.mlpackage", [](const FeatureProvider&) {
    FeatureProvider out;
    out.set("label", std::string("live"));
    out.set("probability", 0.9);
    return Result<FeatureProvider>(std::move(out));
  });
  EXPECT_FALSE(FaceModels::shared().liveness(livenessInput()));
  // The multi-array output is found whatever its name and place among the features.
  simulatedML().addModel("MiniFAS.mlpackage", [](const FeatureProvider&) {
    FeatureProvider out;
    out.set("probability", 0.9);
    auto logits = *MultiArray::make({1, 2});
    logits[0] = 2;
    out.set("Identity_7", std::move(logits));
    return Result<FeatureProvider>(std::move(out));
  });
  const auto live = FaceModels::shared().liveness(livenessInput());
  ASSERT_TRUE(live);
  EXPECT_NEAR(*live, 0.880797f, 1e-6);
  // None of this is a load failure, and none of it is logged.
  EXPECT_FALSE(FaceModels::shared().loadFailed());
  EXPECT_TRUE(logs().messages().empty());
}

// A prediction that fails, or throws out of the runtime (OpenCV, the allocator), gives no
// value and no log; the model is kept, nothing escapes, and the next call predicts again.
TEST_F(ModelHostTest, AFailedOrThrowingPredictionGivesNoValueAndKeepsTheModel) {
  enum class Mode { fail, raise, answer };
  std::atomic<Mode> mode{Mode::fail};
  const auto model = [&mode](std::vector<float> values) {
    return [&mode, values](const FeatureProvider&) -> Result<FeatureProvider> {
      if (mode == Mode::raise) throw std::runtime_error("the network failed");
      if (mode == Mode::fail) return Error{ErrorCode::generic, "boom"};
      return answerOf(values);
    };
  };
  simulatedML().addModel("MiniFAS.mlpackage", model({0, 0}));
  giveVavozuDare({});
  simulatedML().addModel("VavozuDare.mlpackage", model({3, 4}));
  auto& models = FaceModels::shared();
  for (const Mode failing : {Mode::fail, Mode::raise}) {
    mode = failing;
    std::optional<float> live = 1.0f;
    EXPECT_NO_THROW(live = models.liveness(livenessInput()));
    EXPECT_FALSE(live);
    std::optional<FaceDescriptor> described = FaceDescriptor{};
    EXPECT_NO_THROW(described = models.embedding(recognitionInput(), FaceEngineSpec::arcface));
    EXPECT_FALSE(described);
  }
  EXPECT_FALSE(models.loadFailed());
  EXPECT_TRUE(logs().messages().empty());

  mode = Mode::answer;
  EXPECT_EQ(models.liveness(livenessInput()), 0.5f);
  EXPECT_EQ(models.embedding(recognitionInput(), FaceEngineSpec::arcface), (std::vector<float>{0.6f, 0.8f}));
  EXPECT_EQ(simulatedML().loadAttempts().size(), 2u);
  EXPECT_EQ(simulatedML().predictionCount("MiniFAS.mlpackage"), 3);
}

TEST_F(ModelHostTest, APackageAloneIsTriedAloneAndACompiledModelFirst) {
  simulatedML().addModel("MiniFAS.mlpackage", std::vector<float>{2, 0});
  ASSERT_TRUE(FaceModels::shared().liveness(livenessInput()));
  EXPECT_EQ(attemptedNames(), std::vector<std::string>{"MiniFAS.mlpackage"});

  // Both forms: the compiled model is tried first, the package only when it fails.
  addBundleFolder("MiniFAS.mlmodelc");
  simulatedML().addModel("MiniFAS.mlmodelc", std::vector<float>{0, 0});
  FaceModels both;
  EXPECT_EQ(both.liveness(livenessInput()), 0.5f);
  EXPECT_EQ(attemptedNames(), (std::vector<std::string>{"MiniFAS.mlpackage", "MiniFAS.mlmodelc"}));

  simulatedML().failLoading("MiniFAS.mlmodelc", Error{ErrorCode::io, "corrupt"});
  FaceModels fallback;
  EXPECT_NEAR(*fallback.liveness(livenessInput()), 0.880797f, 1e-6);
  EXPECT_EQ(attemptedNames(), (std::vector<std::string>{"MiniFAS.mlpackage", "MiniFAS.mlmodelc",
                                                        "MiniFAS.mlmodelc", "MiniFAS.mlpackage"}));
  // The compiled model's error is discarded: the package loaded, so nothing failed.
  EXPECT_FALSE(fallback.loadFailed());
  EXPECT_TRUE(logs().messages().empty());
}

TEST_F(ModelHostTest, AFailedLoadIsLoggedRetriedAndLeavesLoadFailedForGood) {
  std::filesystem::remove_all(testBundlePath() + "/Resources/MiniFAS.mlpackage");
  auto& models = FaceModels::shared();
  EXPECT_FALSE(models.liveness(livenessInput()));
  EXPECT_TRUE(models.loadFailed());
  EXPECT_TRUE(simulatedML().loadAttempts().empty());  // nothing in the bundle to try
  const std::string noLiveness = "Could not load model MiniFAS", noRecogniser = "Could not load model VavozuDare";
  EXPECT_EQ(logs().messages("face"), std::vector<std::string>{noLiveness});
  EXPECT_EQ(logs().entries()[0].level, platform::log::Level::Error);

  // In the bundle but refused by the runtime: tried, failed, logged again.
  addBundleFolder("MiniFAS.mlpackage");
  simulatedML().failLoading("MiniFAS.mlpackage", Error{ErrorCode::io, "unreadable"});
  EXPECT_FALSE(models.liveness(livenessInput()));
  EXPECT_EQ(simulatedML().loadAttempts().size(), 1u);
  EXPECT_EQ(logs().messages("face"), (std::vector<std::string>{noLiveness, noLiveness}));

  // A later load that works gives values, but the flag stays raised.
  simulatedML().addModel("MiniFAS.mlpackage", std::vector<float>{0, 0});
  EXPECT_EQ(models.liveness(livenessInput()), 0.5f);
  EXPECT_TRUE(models.loadFailed());
  EXPECT_EQ(models.liveness(livenessInput()), 0.5f);
  EXPECT_EQ(simulatedML().loadAttempts().size(), 2u);  // loaded once, then kept

  // The recogniser likewise: missing, logged on every use, then found.
  EXPECT_FALSE(models.embedding(recognitionInput(), FaceEngineSpec::arcface));
  EXPECT_FALSE(models.embedding(recognitionInput(), FaceEngineSpec::arcface));
  EXPECT_EQ(logs().messages("face"), (std::vector<std::string>{noLiveness, noLiveness, noRecogniser, noRecogniser}));
  giveVavozuDare({0, 2});
  EXPECT_EQ(models.embedding(recognitionInput(), FaceEngineSpec::arcface), (std::vector<float>{0, 1}));
  EXPECT_TRUE(models.loadFailed());
}

TEST_F(ModelHostTest, RecognitionOutputIsNormalisedUnlessItIsAllZero) {
  FaceEngineSpec raw = FaceEngineSpec::arcface;
  raw.normaliseDescriptor = false;
  const struct {
    std::vector<float> output, expected;
    const FaceEngineSpec& spec;
  } cases[] = {
      {{3, 4}, {0.6f, 0.8f}, FaceEngineSpec::arcface},
      {std::vector<float>(512, 0.0f), std::vector<float>(512, 0.0f), FaceEngineSpec::arcface},
      // Huge values do not overflow into infinities... as long as their squares fit a float.
      {{0, -5e18f, 0}, {0, -1, 0}, FaceEngineSpec::arcface},
      // A spec that does not ask for normalisation gets the values as they are.
      {{3, 4}, {3, 4}, raw},
  };
  giveVavozuDare({});
  for (const auto& c : cases) {
    simulatedML().addModel("VavozuDare.mlpackage", c.output);
    const auto descriptor = FaceModels::shared().embedding(recognitionInput(), c.spec);
    ASSERT_TRUE(descriptor);
    ASSERT_EQ(descriptor->size(), c.expected.size());
    for (std::size_t i = 0; i < c.expected.size(); ++i) EXPECT_FLOAT_EQ((*descriptor)[i], c.expected[i]);
  }
  EXPECT_EQ(FaceModels::l2Normalised({}), std::vector<float>{});
  EXPECT_EQ(simulatedML().loadAttempts().size(), 1u);
}

TEST_F(ModelHostTest, AnAlignedFaceBecomesTheEnginesTensor) {
  giveVavozuDare({1, 0});
  const auto white = platform::image::Image::color({1, 1, 1, 1}).cropped(platform::Rect(0, 0, 256, 256));
  const auto descriptor = FaceModels::shared().embedding(white, FaceEngineSpec::arcface, context());
  ASSERT_TRUE(descriptor);
  EXPECT_EQ(*descriptor, (std::vector<float>{1, 0}));
  EXPECT_EQ(lastInputShape("VavozuDare.mlpackage"), (std::vector<std::int64_t>{1, 3, 112, 112}));
  const FeatureProvider inputFeatures = simulatedML().lastInput("VavozuDare.mlpackage");
  const MultiArray* input = inputFeatures.featureValue("input")->multiArrayValue();
  for (std::size_t i = 0; i < input->count(); i += 997) EXPECT_FLOAT_EQ((*input)[i], 0.99609375f);

  // An image that cannot become a tensor is not given to the model.
  EXPECT_FALSE(
      FaceModels::shared().embedding(platform::image::Image::color({1, 1, 1, 1}), FaceEngineSpec::arcface, context()));
  EXPECT_EQ(simulatedML().predictionCount("VavozuDare.mlpackage"), 1);
}

TEST_F(ModelHostTest, MissingOrBrokenDlibWeightsRaiseLoadFailed) {
  // The ready-array road has no native network to run: no value, nothing looked up as a
  // model, nothing failed.
  addBundleFolder("DlibFace.mlpackage");
  simulatedML().addModel("DlibFace.mlpackage", std::vector<float>{1, 2});
  EXPECT_FALSE(FaceModels::shared().embedding(*MultiArray::make({1, 3, 150, 150}), FaceEngineSpec::dlib));
  EXPECT_TRUE(simulatedML().loadAttempts().empty());
  EXPECT_FALSE(FaceModels::shared().loadFailed());

  EXPECT_FALSE(FaceModels::shared().embedding(face, FaceEngineSpec::dlib, context()));
  EXPECT_TRUE(FaceModels::shared().loadFailed());
  const std::string broken =
      addBundleFile("dlib_face_recognition_resnet_model_v1.dat", "not a dlib network");
  FaceModels other;
  EXPECT_FALSE(other.embedding(face, FaceEngineSpec::dlib, context()));
  EXPECT_TRUE(other.loadFailed());
  EXPECT_EQ(logs().messages("face"),
            (std::vector<std::string>{"dlib's original weight file is missing from the bundle",
                                      "NativeDlib: failed to load model at " + broken}));
  EXPECT_EQ(logs().entries()[0].level, platform::log::Level::Error);
  EXPECT_FALSE(NativeDlib::isLoaded());
}

TEST_F(ModelHostTest, TheDlibEngineLoadsTheWeightsOnFirstUseOnly) {
  const std::string weights = addDlibWeightsToBundle();
  ASSERT_FALSE(NativeDlib::isLoaded());
  const auto descriptor = FaceModels::shared().embedding(face, FaceEngineSpec::dlib, context());
  ASSERT_TRUE(descriptor);
  EXPECT_EQ(descriptor->size(), 128u);
  EXPECT_TRUE(NativeDlib::isLoaded());
  EXPECT_FALSE(FaceModels::shared().loadFailed());
  // dlib's descriptors are not normalised: their length is not 1.
  double sum = 0;
  for (float v : *descriptor) sum += double(v) * v;
  EXPECT_GT(std::abs(std::sqrt(sum) - 1.0), 0.05);
  EXPECT_TRUE(logs().messages().empty());
  EXPECT_TRUE(simulatedML().loadAttempts().empty());

  // A diagnostic's failed load of some other file leaves the facade unloaded; the next dlib
  // descriptor loads the bundle's weights again rather than giving no value from then on.
  ASSERT_FALSE(NativeDlib::load(testBundlePath() + "/no-such-weights.dat"));
  ASSERT_FALSE(NativeDlib::isLoaded());
  EXPECT_EQ(FaceModels::shared().embedding(face, FaceEngineSpec::dlib, context()), descriptor);
  EXPECT_TRUE(NativeDlib::isLoaded());
  // Only the diagnostic's load failed, not one of the host's.
  EXPECT_FALSE(FaceModels::shared().loadFailed());

  // Loaded once: without the file, later descriptors still come from the loaded network.
  ASSERT_TRUE(std::filesystem::remove(weights));
  EXPECT_EQ(FaceModels::shared().embedding(face, FaceEngineSpec::dlib, context()), descriptor);
  EXPECT_EQ(logs().messages("face"),
            std::vector<std::string>{"NativeDlib: failed to load model at " + testBundlePath() +
                                     "/no-such-weights.dat"});
}

// With dlib selected, the weights load now and only the liveness model later; with the
// developer engine selected, its recogniser is warmed before the liveness model.
TEST_F(ModelHostTest, PrewarmLoadsTheDlibWeightsNowAndWarmsTheSelectedRecogniserLater) {
  addDlibWeightsToBundle();
  std::vector<std::string> ranOn;
  simulatedML().addModel("MiniFAS.mlpackage", [&](const FeatureProvider&) {
    using platform::dispatch::QoS;
    const auto current = [](QoS qos) { return platform::dispatch::globalQueue(qos).isCurrent(); };
    ranOn.push_back(current(QoS::UserInitiated) ? "user-initiated"
                    : current(QoS::Default)     ? "default"
                    : current(QoS::Utility)     ? "utility"
                                                : "elsewhere");
    return answerOf({2, 0});
  });
  giveVavozuDare({3, 4});
  FaceModels::shared().prewarm();
  EXPECT_TRUE(NativeDlib::isLoaded());  // on the caller's thread, before returning
  EXPECT_TRUE(simulatedML().loadAttempts().empty());
  EXPECT_TRUE(ranOn.empty());
  EXPECT_TRUE(logs().messages().empty());

  runUntilIdle();
  EXPECT_EQ(attemptedNames(), std::vector<std::string>{"MiniFAS.mlpackage"});
  EXPECT_EQ(ranOn, std::vector<std::string>{"user-initiated"});
  EXPECT_EQ(lastInputShape("MiniFAS.mlpackage"), (std::vector<std::int64_t>{1, 3, 128, 128}));
  expectSingleLog(platform::log::Level::Info, "face", "Models pre-warmed (loadFailed: false)");

  Settings::shared().setRecognitionEngine(RecognitionEngine::arcface);
  const auto developer = std::make_shared<FaceModels>();
  developer->prewarm();
  runUntilIdle();
  if (BuildFlavour::isDeveloper) {
    EXPECT_EQ(attemptedNames(),
              (std::vector<std::string>{"MiniFAS.mlpackage", "VavozuDare.mlpackage", "MiniFAS.mlpackage"}));
    EXPECT_EQ(simulatedML().predictionCount("VavozuDare.mlpackage"), 1);
    EXPECT_EQ(lastInputShape("VavozuDare.mlpackage"), (std::vector<std::int64_t>{1, 3, 112, 112}));
  } else {
    // A customer build cannot select the developer engine: dlib it is.
    EXPECT_EQ(attemptedNames(), std::vector<std::string>(2, "MiniFAS.mlpackage"));
  }
  EXPECT_EQ(simulatedML().predictionCount("MiniFAS.mlpackage"), 2);
  EXPECT_EQ(logs().messages("face"),
            std::vector<std::string>(2, "Models pre-warmed (loadFailed: false)"));
}

TEST_F(ModelHostTest, PrewarmReportsFailedLoads) {
  // No weights, no liveness model: two failures, then the summary says so.
  std::filesystem::remove_all(testBundlePath() + "/Resources/MiniFAS.mlpackage");
  FaceModels::shared().prewarm();
  EXPECT_TRUE(FaceModels::shared().loadFailed());
  runUntilIdle();
  EXPECT_EQ(logs().messages("face"),
            (std::vector<std::string>{"dlib's original weight file is missing from the bundle",
                                      "Could not load model MiniFAS",
                                      "Models pre-warmed (loadFailed: true)"}));
}

TEST_F(ModelHostTest, ThePrewarmStepDoesNothingOnceTheInstanceIsGone) {
  addDlibWeightsToBundle();
  simulatedML().addModel("MiniFAS.mlpackage", std::vector<float>{2, 0});
  auto models = std::make_shared<FaceModels>();
  models->prewarm();
  EXPECT_EQ(scheduler().pendingCount(), 1u);
  models.reset();
  runUntilIdle();
  EXPECT_TRUE(simulatedML().loadAttempts().empty());
  EXPECT_TRUE(logs().messages().empty());
}

// Holds every thread that enters on its way until opened, counting the threads that arrive.
struct LoadGate {
  std::atomic<int> entered{0};
  std::latch opened{1};
  void enter() {
    ++entered;
    entered.notify_all();
    opened.wait();
  }
};

TEST_F(ModelHostTest, ConcurrentFirstUsesLoadEachModelOnce) {
  simulatedML().addModel("MiniFAS.mlpackage", std::vector<float>{2, 0});
  giveVavozuDare({3, 4});
  LoadGate gate;
  simulatedML().setLoadHook([&](const std::string&) { gate.enter(); });

  auto& models = FaceModels::shared();
  constexpr int kThreads = 6;
  std::atomic<int> answered{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      if (i % 2 == 0) {
        if (models.liveness(livenessInput())) ++answered;
      } else if (models.embedding(recognitionInput(), FaceEngineSpec::arcface)) {
        ++answered;
      }
    });
  }
  // The first load is held while the other threads arrive and wait for the lock.
  gate.entered.wait(0);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  gate.opened.count_down();
  for (auto& thread : threads) thread.join();

  EXPECT_EQ(answered.load(), kThreads);
  auto names = attemptedNames();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"MiniFAS.mlpackage", "VavozuDare.mlpackage"}));
  EXPECT_EQ(simulatedML().predictionCount("MiniFAS.mlpackage"), kThreads / 2);
  EXPECT_EQ(simulatedML().predictionCount("VavozuDare.mlpackage"), kThreads / 2);
  EXPECT_FALSE(models.loadFailed());
}

// A prediction held on its thread (of the liveness model, or of the recogniser) does not
// keep another thread from loading and running the other model, nor from a second
// prediction of the same one.
class HeldPredictionTest : public ModelHostTest, public ::testing::WithParamInterface<bool> {};

TEST_P(HeldPredictionTest, PredictionsRunOutsideTheLock) {
  const bool holdLiveness = GetParam();
  LoadGate held;
  std::atomic<int> calls{0};
  const auto holding = [&](std::vector<float> values) {
    return [&held, &calls, values](const FeatureProvider&) {
      if (calls++ == 0) held.enter();
      return answerOf(values);
    };
  };
  giveVavozuDare({3, 4});
  if (holdLiveness) {
    simulatedML().addModel("MiniFAS.mlpackage", holding({0, 0}));
  } else {
    simulatedML().addModel("MiniFAS.mlpackage", std::vector<float>{0, 0});
    simulatedML().addModel("VavozuDare.mlpackage", holding({3, 4}));
  }
  auto& models = FaceModels::shared();
  const auto live = [&] { return models.liveness(livenessInput()).has_value(); };
  const auto described = [&] { return models.embedding(recognitionInput(), FaceEngineSpec::arcface).has_value(); };
  std::thread first([&] { EXPECT_TRUE(holdLiveness ? live() : described()); });
  held.entered.wait(0);

  auto others = std::async(std::launch::async, [&] {
    const bool other = holdLiveness ? described() : live();
    return (holdLiveness ? live() : described()) && other;
  });
  const auto status = others.wait_for(std::chrono::seconds(5));
  EXPECT_EQ(status, std::future_status::ready) << "a prediction held the model host's lock";
  held.opened.count_down();
  first.join();
  if (status == std::future_status::ready) {
    EXPECT_TRUE(others.get());
  }
}

INSTANTIATE_TEST_SUITE_P(Held, HeldPredictionTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Liveness" : "Recognition"; });

}  // namespace
}  // namespace quorvel::testing
