// The model host on simulated models: where models are looked up, what a failed load leaves
// behind, what a prediction answers, the liveness arithmetic, pre-warming and concurrent
// first uses.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "foundation/build_flavour.hpp"
#include "foundation/settings.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "platform/image/image.hpp"
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

MultiArray livenessInput(float value = 0.5f) {
  auto array = *MultiArray::make({1, 3, 128, 128});
  std::fill(array.data(), array.data() + array.count(), value);
  return array;
}

MultiArray recognitionInput() { return *MultiArray::make({1, 3, 112, 112}); }

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

  std::vector<platform::log::Entry> faceErrors() {
    std::vector<platform::log::Entry> errors;
    for (const auto& entry : logs().entries()) {
      if (entry.category == "face" && entry.level == platform::log::Level::Error) {
        errors.push_back(entry);
      }
    }
    return errors;
  }

  void giveVavozuDare(std::vector<float> output) {
    addBundleFolder("VavozuDare.mlpackage");
    simulatedML().addModel("VavozuDare.mlpackage", std::move(output));
  }
};

TEST_F(ModelHostTest, ComputeUnitsAreTheCPUAloneAboveMajorVersion26) {
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
}

TEST_F(ModelHostTest, ReleaseTextsGiveTheirLeadingNumbers) {
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
  struct Case {
    std::vector<float> logits;
    float expected;
  };
  const std::vector<Case> cases{
      {{2, 0}, 0.880797f},      {{0, 0}, 0.5f},         {{1000, 0}, 1.0f},
      {{0, 1000}, 0.0f},        {{-1000, -1000}, 0.5f}, {{1e30f, -1e30f}, 1.0f},
      {{0, 2, 99, 99}, 0.119203f},  // only the first two values count
  };
  for (const Case& c : cases) {
    FaceModels models;
    simulatedML().addModel("MiniFAS.mlpackage", c.logits);
    const auto live = models.liveness(livenessInput());
    ASSERT_TRUE(live) << c.logits[0] << ", " << c.logits[1];
    EXPECT_NEAR(*live, c.expected, 1e-6) << c.logits[0] << ", " << c.logits[1];
    EXPECT_TRUE(std::isfinite(*live));
  }
  // A logit that is not a number gives no probability at all.
  FaceModels models;
  simulatedML().addModel("MiniFAS.mlpackage", std::vector<float>{NAN, 0});
  EXPECT_FALSE(models.liveness(livenessInput()));
  simulatedML().addModel("MiniFAS.mlpackage", std::vector<float>{INFINITY, 0});
  EXPECT_FALSE(models.liveness(livenessInput()));
}

TEST_F(ModelHostTest, LivenessRunsTheModelOnTheGivenArrayUnderTheNameInput) {
  simulatedML().addModel("MiniFAS.mlpackage", std::vector<float>{2, 0});
  MultiArray input = livenessInput();
  input[5] = 0.25f;
  ASSERT_TRUE(FaceModels::shared().liveness(input));
  const FeatureProvider seen = simulatedML().lastInput("MiniFAS.mlpackage");
  EXPECT_EQ(seen.featureNames(), std::vector<std::string>{"input"});
  const MultiArray* array = seen.featureValue("input")->multiArrayValue();
  ASSERT_TRUE(array);
  EXPECT_EQ(array->shape(), input.shape());
  EXPECT_EQ((*array)[5], 0.25f);
  EXPECT_EQ((*array)[6], 0.5f);
}

TEST_F(ModelHostTest, LivenessOutputsThatAreNotTwoLogitsGiveNoValue) {
  simulatedML().addModel("MiniFAS.mlpackage", std::vector<float>{3});
  EXPECT_FALSE(FaceModels::shared().liveness(livenessInput()));
  simulatedML().addModel("MiniFAS.mlpackage", std::vector<float>{});
  EXPECT_FALSE(FaceModels::shared().liveness(livenessInput()));
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

TEST_F(ModelHostTest, AFailedPredictionGivesNoValueAndKeepsTheModel) {
  simulatedML().addFailingModel("MiniFAS.mlpackage", Error{ErrorCode::generic, "boom"});
  EXPECT_FALSE(FaceModels::shared().liveness(livenessInput()));
  EXPECT_FALSE(FaceModels::shared().loadFailed());
  EXPECT_TRUE(logs().messages().empty());
  // The loaded model is kept: the next call predicts again without loading.
  simulatedML().addModel("MiniFAS.mlpackage", std::vector<float>{0, 0});
  EXPECT_EQ(FaceModels::shared().liveness(livenessInput()), 0.5f);
  EXPECT_EQ(simulatedML().loadAttempts().size(), 1u);
  EXPECT_EQ(simulatedML().predictionCount("MiniFAS.mlpackage"), 2);

  giveVavozuDare({1, 2});
  simulatedML().addFailingModel("VavozuDare.mlpackage", Error{ErrorCode::io, "no"});
  EXPECT_FALSE(FaceModels::shared().embedding(recognitionInput(), FaceEngineSpec::arcface));
  EXPECT_FALSE(FaceModels::shared().loadFailed());
}

TEST_F(ModelHostTest, APredictionThatThrowsGivesNoValueAndNoLog) {
  // A runtime that throws out of a prediction (OpenCV, the allocator) is a failed
  // prediction like any other: no value, no log, the model kept, nothing escapes.
  std::atomic<bool> throwing{true};
  const auto answer = [&](std::vector<float> values) {
    return [&throwing, values](const FeatureProvider&) -> Result<FeatureProvider> {
      if (throwing) throw std::runtime_error("the network failed");
      auto array = *MultiArray::make({1, static_cast<std::int64_t>(values.size())});
      std::copy(values.begin(), values.end(), array.data());
      FeatureProvider out;
      out.set("output", std::move(array));
      return Result<FeatureProvider>(std::move(out));
    };
  };
  simulatedML().addModel("MiniFAS.mlpackage", answer({0, 0}));
  addBundleFolder("VavozuDare.mlpackage");
  simulatedML().addModel("VavozuDare.mlpackage", answer({3, 4}));
  auto& models = FaceModels::shared();

  std::optional<float> live = 1.0f;
  EXPECT_NO_THROW(live = models.liveness(livenessInput()));
  EXPECT_FALSE(live);
  std::optional<FaceDescriptor> described = FaceDescriptor{};
  EXPECT_NO_THROW(described = models.embedding(recognitionInput(), FaceEngineSpec::arcface));
  EXPECT_FALSE(described);
  EXPECT_FALSE(models.loadFailed());
  EXPECT_TRUE(logs().messages().empty());

  throwing = false;
  EXPECT_EQ(models.liveness(livenessInput()), 0.5f);
  EXPECT_EQ(models.embedding(recognitionInput(), FaceEngineSpec::arcface),
            (std::vector<float>{0.6f, 0.8f}));
  EXPECT_EQ(simulatedML().loadAttempts().size(), 2u);
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
  ASSERT_EQ(faceErrors().size(), 1u);
  EXPECT_EQ(faceErrors()[0].message, "Could not load model MiniFAS");

  // In the bundle but refused by the runtime: tried, failed, logged again.
  addBundleFolder("MiniFAS.mlpackage");
  simulatedML().failLoading("MiniFAS.mlpackage", Error{ErrorCode::io, "unreadable"});
  EXPECT_FALSE(models.liveness(livenessInput()));
  EXPECT_EQ(simulatedML().loadAttempts().size(), 1u);
  EXPECT_EQ(faceErrors().size(), 2u);

  // A later load that works gives values, but the flag stays raised.
  simulatedML().addModel("MiniFAS.mlpackage", std::vector<float>{0, 0});
  EXPECT_EQ(models.liveness(livenessInput()), 0.5f);
  EXPECT_TRUE(models.loadFailed());
  EXPECT_EQ(models.liveness(livenessInput()), 0.5f);
  EXPECT_EQ(simulatedML().loadAttempts().size(), 2u);  // loaded once, then kept
  EXPECT_EQ(faceErrors().size(), 2u);
}

TEST_F(ModelHostTest, RecognitionOutputIsNormalisedUnlessItIsAllZero) {
  giveVavozuDare({3, 4});
  const auto unit = FaceModels::shared().embedding(recognitionInput(), FaceEngineSpec::arcface);
  ASSERT_TRUE(unit);
  ASSERT_EQ(unit->size(), 2u);
  EXPECT_FLOAT_EQ((*unit)[0], 0.6f);
  EXPECT_FLOAT_EQ((*unit)[1], 0.8f);

  simulatedML().addModel("VavozuDare.mlpackage", std::vector<float>(512, 0.0f));
  const auto zero = FaceModels::shared().embedding(recognitionInput(), FaceEngineSpec::arcface);
  ASSERT_TRUE(zero);
  EXPECT_EQ(*zero, std::vector<float>(512, 0.0f));

  // Huge values do not overflow into infinities... as long as their squares fit a float.
  simulatedML().addModel("VavozuDare.mlpackage", std::vector<float>{0, -5e18f, 0});
  const auto big = FaceModels::shared().embedding(recognitionInput(), FaceEngineSpec::arcface);
  ASSERT_TRUE(big);
  EXPECT_FLOAT_EQ((*big)[1], -1.0f);

  // A spec that does not ask for normalisation gets the values as they are.
  FaceEngineSpec raw = FaceEngineSpec::arcface;
  raw.normaliseDescriptor = false;
  simulatedML().addModel("VavozuDare.mlpackage", std::vector<float>{3, 4});
  EXPECT_EQ(FaceModels::shared().embedding(recognitionInput(), raw), (std::vector<float>{3, 4}));

  EXPECT_EQ(FaceModels::l2Normalised({}), std::vector<float>{});
  EXPECT_EQ(FaceModels::l2Normalised({0, 0, 0}), (std::vector<float>{0, 0, 0}));
  EXPECT_EQ(simulatedML().loadAttempts().size(), 1u);
}

TEST_F(ModelHostTest, AnAlignedFaceBecomesTheEnginesTensor) {
  giveVavozuDare({1, 0});
  const auto white = platform::image::Image::color({1, 1, 1, 1}).cropped(platform::Rect(0, 0, 256, 256));
  const auto descriptor = FaceModels::shared().embedding(white, FaceEngineSpec::arcface,
                                                         *FaceAligner::shared().ciContext());
  ASSERT_TRUE(descriptor);
  EXPECT_EQ(*descriptor, (std::vector<float>{1, 0}));
  const FeatureProvider inputFeatures = simulatedML().lastInput("VavozuDare.mlpackage");
  const MultiArray* input = inputFeatures.featureValue("input")->multiArrayValue();
  ASSERT_TRUE(input);
  EXPECT_EQ(input->shape(), (std::vector<std::int64_t>{1, 3, 112, 112}));
  for (std::size_t i = 0; i < input->count(); i += 997) EXPECT_FLOAT_EQ((*input)[i], 0.99609375f);

  // An image that cannot become a tensor is not given to the model.
  EXPECT_FALSE(FaceModels::shared().embedding(platform::image::Image::color({1, 1, 1, 1}),
                                              FaceEngineSpec::arcface,
                                              *FaceAligner::shared().ciContext()));
  EXPECT_EQ(simulatedML().predictionCount("VavozuDare.mlpackage"), 1);
}

TEST_F(ModelHostTest, AMissingRecogniserIsLoggedAndRetriedOnTheNextUse) {
  EXPECT_FALSE(FaceModels::shared().embedding(recognitionInput(), FaceEngineSpec::arcface));
  EXPECT_TRUE(FaceModels::shared().loadFailed());
  EXPECT_FALSE(FaceModels::shared().embedding(recognitionInput(), FaceEngineSpec::arcface));
  ASSERT_EQ(faceErrors().size(), 2u);
  EXPECT_EQ(faceErrors()[1].message, "Could not load model VavozuDare");
  giveVavozuDare({0, 2});
  EXPECT_EQ(FaceModels::shared().embedding(recognitionInput(), FaceEngineSpec::arcface),
            (std::vector<float>{0, 1}));
  EXPECT_TRUE(FaceModels::shared().loadFailed());
}

TEST_F(ModelHostTest, TheDlibSpecIsNeverLookedUpAsAModel) {
  // The ready-array road has no native network to run: no value, nothing looked up, nothing
  // failed.
  addBundleFolder("DlibFace.mlpackage");
  simulatedML().addModel("DlibFace.mlpackage", std::vector<float>{1, 2});
  auto input = *MultiArray::make({1, 3, 150, 150});
  EXPECT_FALSE(FaceModels::shared().embedding(input, FaceEngineSpec::dlib));
  EXPECT_TRUE(simulatedML().loadAttempts().empty());
  EXPECT_FALSE(FaceModels::shared().loadFailed());
}

TEST_F(ModelHostTest, MissingOrBrokenDlibWeightsRaiseLoadFailed) {
  const auto face = platform::image::Image::color({0.5, 0.4, 0.3, 1}).cropped(platform::Rect(0, 0, 150, 150));
  const auto& context = *FaceAligner::shared().ciContext();
  EXPECT_FALSE(FaceModels::shared().embedding(face, FaceEngineSpec::dlib, context));
  EXPECT_TRUE(FaceModels::shared().loadFailed());
  ASSERT_EQ(faceErrors().size(), 1u);
  EXPECT_EQ(faceErrors()[0].message, "dlib's original weight file is missing from the bundle");

  const std::string broken =
      addBundleFile("dlib_face_recognition_resnet_model_v1.dat", "not a dlib network");
  FaceModels other;
  EXPECT_FALSE(other.embedding(face, FaceEngineSpec::dlib, context));
  EXPECT_TRUE(other.loadFailed());
  ASSERT_EQ(faceErrors().size(), 2u);
  EXPECT_EQ(faceErrors()[1].message, "NativeDlib: failed to load model at " + broken);
  EXPECT_FALSE(NativeDlib::isLoaded());
}

TEST_F(ModelHostTest, TheDlibEngineLoadsTheWeightsOnFirstUseOnly) {
  const std::string weights = addDlibWeightsToBundle();
  ASSERT_FALSE(NativeDlib::isLoaded());
  const auto face = platform::image::Image::color({0.5, 0.4, 0.3, 1}).cropped(platform::Rect(0, 0, 150, 150));
  const auto descriptor =
      FaceModels::shared().embedding(face, FaceEngineSpec::dlib, *FaceAligner::shared().ciContext());
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
  // Loaded once: without the file, later descriptors still come from the loaded network.
  ASSERT_TRUE(std::filesystem::remove(weights));
  EXPECT_EQ(FaceModels::shared().embedding(face, FaceEngineSpec::dlib, *FaceAligner::shared().ciContext()),
            descriptor);
  EXPECT_TRUE(logs().messages().empty());
}

TEST_F(ModelHostTest, TheDlibEngineReloadsTheBundlesWeightsAfterAnotherLoadFailed) {
  // A diagnostic's failed load of some other file leaves the facade unloaded; the next dlib
  // descriptor loads the bundle's weights again rather than giving no value from then on.
  addDlibWeightsToBundle();
  const auto face = platform::image::Image::color({0.5, 0.4, 0.3, 1}).cropped(platform::Rect(0, 0, 150, 150));
  const auto& context = *FaceAligner::shared().ciContext();
  const auto first = FaceModels::shared().embedding(face, FaceEngineSpec::dlib, context);
  ASSERT_TRUE(first);

  ASSERT_FALSE(NativeDlib::load(testBundlePath() + "/no-such-weights.dat"));
  ASSERT_FALSE(NativeDlib::isLoaded());
  EXPECT_EQ(FaceModels::shared().embedding(face, FaceEngineSpec::dlib, context), first);
  EXPECT_TRUE(NativeDlib::isLoaded());
  // Only the diagnostic's load failed, not one of the host's.
  EXPECT_FALSE(FaceModels::shared().loadFailed());
  EXPECT_EQ(logs().messages("face"),
            std::vector<std::string>{"NativeDlib: failed to load model at " + testBundlePath() +
                                     "/no-such-weights.dat"});
}

TEST_F(ModelHostTest, PrewarmLoadsTheWeightsNowAndOnlyTheLivenessModelLaterForDlib) {
  addDlibWeightsToBundle();
  simulatedML().addModel("MiniFAS.mlpackage", std::vector<float>{2, 0});
  giveVavozuDare({1});
  FaceModels::shared().prewarm();
  EXPECT_TRUE(NativeDlib::isLoaded());  // on the caller's thread, before returning
  EXPECT_TRUE(simulatedML().loadAttempts().empty());
  EXPECT_TRUE(logs().messages().empty());

  runUntilIdle();
  EXPECT_EQ(attemptedNames(), std::vector<std::string>{"MiniFAS.mlpackage"});
  EXPECT_EQ(simulatedML().predictionCount("MiniFAS.mlpackage"), 1);
  const FeatureProvider warmedFeatures = simulatedML().lastInput("MiniFAS.mlpackage");
  const MultiArray* warmed = warmedFeatures.featureValue("input")->multiArrayValue();
  ASSERT_TRUE(warmed);
  EXPECT_EQ(warmed->shape(), (std::vector<std::int64_t>{1, 3, 128, 128}));
  const auto ran = scheduler().ranOn();
  EXPECT_NE(std::find(ran.begin(), ran.end(), "com.apple.root.global"), ran.end());
  const auto entries = logs().entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].message, "Models pre-warmed (loadFailed: false)");
  EXPECT_EQ(entries[0].level, platform::log::Level::Info);
  EXPECT_EQ(entries[0].category, "face");
}

TEST_F(ModelHostTest, PrewarmRunsTheLivenessModelOnTheUserInitiatedGlobalQueue) {
  addDlibWeightsToBundle();
  std::vector<std::string> ranOn;
  simulatedML().addModel("MiniFAS.mlpackage", [&](const FeatureProvider&) {
    using platform::dispatch::QoS;
    const auto current = [](QoS qos) { return platform::dispatch::globalQueue(qos).isCurrent(); };
    ranOn.push_back(current(QoS::UserInitiated) ? "user-initiated"
                    : current(QoS::Default)     ? "default"
                    : current(QoS::Utility)     ? "utility"
                                                : "elsewhere");
    FeatureProvider out;
    out.set("output", *MultiArray::make({1, 2}));
    return Result<FeatureProvider>(std::move(out));
  });
  FaceModels::shared().prewarm();
  EXPECT_TRUE(ranOn.empty());  // nothing of it on the caller's thread
  runUntilIdle();
  EXPECT_EQ(ranOn, std::vector<std::string>{"user-initiated"});
}

TEST_F(ModelHostTest, PrewarmWarmsTheSelectedRecogniserBeforeTheLivenessModel) {
  addDlibWeightsToBundle();
  simulatedML().addModel("MiniFAS.mlpackage", std::vector<float>{2, 0});
  giveVavozuDare({3, 4});
  Settings::shared().setRecognitionEngine(RecognitionEngine::arcface);
  FaceModels::shared().prewarm();
  runUntilIdle();
  if (BuildFlavour::isDeveloper) {
    EXPECT_EQ(attemptedNames(),
              (std::vector<std::string>{"VavozuDare.mlpackage", "MiniFAS.mlpackage"}));
    EXPECT_EQ(simulatedML().predictionCount("VavozuDare.mlpackage"), 1);
    const FeatureProvider warmedFeatures = simulatedML().lastInput("VavozuDare.mlpackage");
    const MultiArray* warmed = warmedFeatures.featureValue("input")->multiArrayValue();
    ASSERT_TRUE(warmed);
    EXPECT_EQ(warmed->shape(), (std::vector<std::int64_t>{1, 3, 112, 112}));
  } else {
    // A customer build cannot select the developer engine: dlib it is.
    EXPECT_EQ(attemptedNames(), std::vector<std::string>{"MiniFAS.mlpackage"});
  }
  EXPECT_EQ(simulatedML().predictionCount("MiniFAS.mlpackage"), 1);
  EXPECT_EQ(logs().messages("face"), std::vector<std::string>{"Models pre-warmed (loadFailed: false)"});
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

// Holds every load on its thread until released, counting the threads that arrive.
class LoadGate {
 public:
  void enter() {
    std::unique_lock<std::mutex> lock(mutex_);
    ++entered_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return open_; });
  }
  void waitForEntries(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return entered_ >= count; });
  }
  void open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int entered_ = 0;
  bool open_ = false;
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
  gate.waitForEntries(1);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  gate.open();
  for (auto& thread : threads) thread.join();

  EXPECT_EQ(answered.load(), kThreads);
  auto names = attemptedNames();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"MiniFAS.mlpackage", "VavozuDare.mlpackage"}));
  EXPECT_EQ(simulatedML().predictionCount("MiniFAS.mlpackage"), kThreads / 2);
  EXPECT_EQ(simulatedML().predictionCount("VavozuDare.mlpackage"), kThreads / 2);
  EXPECT_FALSE(models.loadFailed());
}

TEST_F(ModelHostTest, PredictionsRunOutsideTheLock) {
  // A liveness prediction that is held on its thread does not keep another thread from
  // loading and running the recogniser, nor from a second liveness prediction.
  LoadGate held;
  std::atomic<int> calls{0};
  simulatedML().addModel("MiniFAS.mlpackage", [&](const FeatureProvider&) {
    if (calls++ == 0) held.enter();
    FeatureProvider out;
    out.set("output", *MultiArray::make({1, 2}));
    return Result<FeatureProvider>(std::move(out));
  });
  giveVavozuDare({3, 4});
  auto& models = FaceModels::shared();
  std::thread first([&] { EXPECT_EQ(models.liveness(livenessInput()), 0.5f); });
  held.waitForEntries(1);

  auto others = std::async(std::launch::async, [&] {
    const bool described = models.embedding(recognitionInput(), FaceEngineSpec::arcface).has_value();
    const bool live = models.liveness(livenessInput()).has_value();
    return described && live;
  });
  const auto status = others.wait_for(std::chrono::seconds(5));
  EXPECT_EQ(status, std::future_status::ready) << "a prediction held the model host's lock";
  held.open();
  first.join();
  if (status == std::future_status::ready) {
    EXPECT_TRUE(others.get());
  }
}

TEST_F(ModelHostTest, RecognitionPredictionsRunOutsideTheLock) {
  // The same with a held recognition prediction: the liveness model still loads and runs,
  // and a second recognition prediction does not wait for the first.
  LoadGate held;
  std::atomic<int> calls{0};
  addBundleFolder("VavozuDare.mlpackage");
  simulatedML().addModel("VavozuDare.mlpackage", [&](const FeatureProvider&) {
    if (calls++ == 0) held.enter();
    auto array = *MultiArray::make({1, 2});
    array[0] = 3;
    array[1] = 4;
    FeatureProvider out;
    out.set("output", std::move(array));
    return Result<FeatureProvider>(std::move(out));
  });
  simulatedML().addModel("MiniFAS.mlpackage", std::vector<float>{0, 0});
  auto& models = FaceModels::shared();
  std::thread first([&] {
    EXPECT_TRUE(models.embedding(recognitionInput(), FaceEngineSpec::arcface));
  });
  held.waitForEntries(1);

  auto others = std::async(std::launch::async, [&] {
    const bool live = models.liveness(livenessInput()).has_value();
    const bool described = models.embedding(recognitionInput(), FaceEngineSpec::arcface).has_value();
    return described && live;
  });
  const auto status = others.wait_for(std::chrono::seconds(5));
  EXPECT_EQ(status, std::future_status::ready) << "a prediction held the model host's lock";
  held.open();
  first.join();
  if (status == std::future_status::ready) {
    EXPECT_TRUE(others.get());
  }
}

}  // namespace
}  // namespace quorvel::testing
