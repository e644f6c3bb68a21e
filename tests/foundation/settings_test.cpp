#include "foundation/build_flavour.hpp"
#include "foundation/settings.hpp"
#include "support/platform_fixture.hpp"

namespace {

using quorvel::RecognitionEngine;
using quorvel::Settings;

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

TEST_F(SettingsTest, EngineReadRules) {
  auto& settings = Settings::shared();
  defaults().setString("recognitionEngine", "arcface");
  EXPECT_EQ(settings.recognitionEngine(), quorvel::BuildFlavour::isDeveloper
                                              ? RecognitionEngine::arcface
                                              : RecognitionEngine::dlib);
  EXPECT_EQ(defaults().stringForKey("recognitionEngine"), "arcface");  // left unchanged
  for (const char* stored : {"ArcFace", "DLIB", "resnet", "", " arcface"}) {
    defaults().setString("recognitionEngine", stored);
    EXPECT_EQ(settings.recognitionEngine(), RecognitionEngine::dlib) << stored;
    EXPECT_EQ(defaults().stringForKey("recognitionEngine"), stored);
  }
  defaults().setBool("recognitionEngine", true);  // not a string at all
  EXPECT_EQ(settings.recognitionEngine(), RecognitionEngine::dlib);
}

TEST_F(SettingsTest, WritingAnEngineStoresItsRawValueUnchecked) {
  auto& settings = Settings::shared();
  EXPECT_EQ(&settings.defaults(), &defaults());
  settings.setRecognitionEngine(RecognitionEngine::arcface);
  EXPECT_EQ(defaults().stringForKey("recognitionEngine"), "arcface");
  if (!quorvel::BuildFlavour::isDeveloper) {
    EXPECT_EQ(settings.recognitionEngine(), RecognitionEngine::dlib);
  }
  settings.setRecognitionEngine(RecognitionEngine::dlib);
  EXPECT_EQ(settings.recognitionEngine(), RecognitionEngine::dlib);
}

}  // namespace
