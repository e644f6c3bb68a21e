// The recognition engines' constants and rules, and the settings that select one.
#include <algorithm>
#include <tuple>

#include "foundation/build_flavour.hpp"
#include "foundation/recognition_engine.hpp"
#include "foundation/settings.hpp"
#include "support/platform_fixture.hpp"

namespace {

using quorvel::FaceEngineSpec;
using quorvel::RecognitionEngine;
using quorvel::Settings;
namespace engines = quorvel::recognition_engine;

TEST(FaceEngineSpecTest, RelaxNeverPassesTheLimit) {
  EXPECT_DOUBLE_EQ(FaceEngineSpec::dlib.relax(0.5, 0.05, 0.58), 0.55);
  EXPECT_DOUBLE_EQ(FaceEngineSpec::dlib.relax(0.5, 0.2, 0.58), 0.58);
  EXPECT_NEAR(FaceEngineSpec::arcface.relax(0.8, 0.03, 0.74), 0.77, 1e-12);
  EXPECT_DOUBLE_EQ(FaceEngineSpec::arcface.relax(0.8, 0.1, 0.74), 0.74);
  // Relaxing by 0: the threshold when the limit lies beyond it, else the limit.
  EXPECT_DOUBLE_EQ(FaceEngineSpec::dlib.relax(0.5, 0, 0.58), 0.5);
  EXPECT_DOUBLE_EQ(FaceEngineSpec::dlib.relax(0.5, 0, 0.4), 0.4);
  EXPECT_DOUBLE_EQ(FaceEngineSpec::arcface.relax(0.8, 0, 0.74), 0.8);
  EXPECT_DOUBLE_EQ(FaceEngineSpec::arcface.relax(0.8, 0, 0.9), 0.9);
}

// Every engine constant, pinned.
TEST(FaceEngineSpecTest, ConstantsArePinned) {
  using Points = std::vector<platform::Point>;
  const auto all = [](const FaceEngineSpec& s) {
    return std::make_tuple(s.modelName, s.inputSide, s.mean.r, s.mean.g, s.mean.b, s.scale, s.templatePoints,
                           s.templateSide, s.normaliseDescriptor, s.higherIsBetter, s.instantThreshold,
                           s.baseThreshold, s.absoluteLimit, s.learnThreshold);
  };
  EXPECT_EQ(all(FaceEngineSpec::dlib),
            std::make_tuple(std::string("DlibFace"), std::int64_t{150}, 122.782f, 117.001f, 104.298f, 256.0f,
                            Points{{47.549, 103.401}, {100.476, 103.401}, {74.013, 73.437}, {50.415, 46.977},
                                   {97.61, 46.977}},
                            150.0, false, false, 0.42, 0.5, 0.58, 0.35));
  EXPECT_EQ(all(FaceEngineSpec::arcface),
            std::make_tuple(std::string("VavozuDare"), std::int64_t{112}, 127.5f, 127.5f, 127.5f, 128.0f,
                            Points{{87.53, 137.84}, {168.07, 138.28}, {128.06, 92.03}, {94.97, 44.88},
                                   {161.67, 45.25}},
                            256.0, true, true, 0.88, 0.8, 0.74, 0.88));
}

TEST(RecognitionEngineTest, NamesSellabilityAndWhatTheBuildOffers) {
  EXPECT_EQ(quorvel::displayName(RecognitionEngine::dlib), "dlib (public domain)");
  EXPECT_EQ(quorvel::displayName(RecognitionEngine::arcface), "ArcFace (personal use only)");
  EXPECT_TRUE(quorvel::sellable(RecognitionEngine::dlib));
  EXPECT_FALSE(quorvel::sellable(RecognitionEngine::arcface));
  EXPECT_EQ(&quorvel::spec(RecognitionEngine::arcface), &FaceEngineSpec::arcface);
  for (auto engine : engines::allCases) EXPECT_EQ(engines::fromRawValue(quorvel::rawValue(engine)), engine);
  for (const char* raw : {"Dlib", "ArcFace", "", " dlib "}) EXPECT_FALSE(engines::fromRawValue(raw)) << raw;
  const auto selectable = engines::selectable();
  if (quorvel::BuildFlavour::isDeveloper) {
    EXPECT_TRUE(std::equal(selectable.begin(), selectable.end(), engines::allCases.begin(),
                           engines::allCases.end()));
  } else {
    EXPECT_EQ(selectable, std::vector<RecognitionEngine>{RecognitionEngine::dlib});
  }
}

class SettingsTest : public quorvel::testing::PlatformTest {};

TEST_F(SettingsTest, FreshAccountReadsDefaultsWithoutWritingThem) {
  auto& settings = Settings::shared();
  EXPECT_TRUE(settings.unlockEnabled());
  EXPECT_TRUE(settings.playAnimation());
  EXPECT_TRUE(settings.showInDock());
  EXPECT_TRUE(settings.palmToCancel());
  EXPECT_FALSE(settings.hasSeenWelcome());
  EXPECT_EQ(settings.recognitionEngine(), RecognitionEngine::dlib);
  for (const char* key : {"unlockEnabled", "playAnimation", "showInDock", "palmToCancel",
                          "hasSeenWelcome", "recognitionEngine"}) {
    EXPECT_FALSE(defaults().persistentObject(key).has_value()) << key;
  }
}

TEST_F(SettingsTest, WritesGoThroughAndRemovalRestoresTheRegisteredDefault) {
  auto& settings = Settings::shared();
  settings.setPalmToCancel(false);
  EXPECT_FALSE(settings.palmToCancel());
  EXPECT_EQ(defaults().persistentObject("palmToCancel"), platform::defaults::Value(false));
  settings.setHasSeenWelcome(true);
  EXPECT_TRUE(settings.hasSeenWelcome());
  // A toggle is two separate accesses; another writer's change is seen at once.
  defaults().setBool("unlockEnabled", false);
  EXPECT_FALSE(settings.unlockEnabled());
  settings.setUnlockEnabled(!settings.unlockEnabled());
  EXPECT_TRUE(settings.unlockEnabled());
  defaults().remove("palmToCancel");
  EXPECT_TRUE(settings.palmToCancel());
}

TEST_F(SettingsTest, TheEngineIsWrittenAsItsRawValueUncheckedAndReadByTheBuildsRules) {
  auto& settings = Settings::shared();
  EXPECT_EQ(&settings.defaults(), &defaults());
  settings.setRecognitionEngine(RecognitionEngine::arcface);
  EXPECT_EQ(defaults().stringForKey("recognitionEngine"), "arcface");
  EXPECT_EQ(settings.recognitionEngine(), quorvel::BuildFlavour::isDeveloper
                                              ? RecognitionEngine::arcface
                                              : RecognitionEngine::dlib);
  EXPECT_EQ(defaults().stringForKey("recognitionEngine"), "arcface");  // left unchanged
  settings.setRecognitionEngine(RecognitionEngine::dlib);
  EXPECT_EQ(settings.recognitionEngine(), RecognitionEngine::dlib);
  for (const char* stored : {"ArcFace", "DLIB", "resnet", "", " arcface"}) {
    defaults().setString("recognitionEngine", stored);
    EXPECT_EQ(settings.recognitionEngine(), RecognitionEngine::dlib) << stored;
    EXPECT_EQ(defaults().stringForKey("recognitionEngine"), stored);
  }
  defaults().setBool("recognitionEngine", true);  // not a string at all
  EXPECT_EQ(settings.recognitionEngine(), RecognitionEngine::dlib);
}

}  // namespace
