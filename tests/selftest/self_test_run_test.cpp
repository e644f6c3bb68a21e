// The real self-test on the simulated platform and on the shipped bundle: every check passes
// in a customer build, and breaking an invariant fails exactly its own check.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <sstream>
#include <string>
#include <vector>

#include "platform/files/files.hpp"
#include "platform/keychain/keychain.hpp"
#include "recognition/native_dlib.hpp"
#include "selftest/self_test.hpp"
#include "support/face_models_hooks.hpp"
#include "support/models_hooks.hpp"
#include "support/platform_fixture.hpp"
#include "support/simulated_lock_machine.hpp"
#include "support/storage_hooks.hpp"

namespace quorvel {
namespace {

using testing::PlatformTest;

std::vector<SelfTest::Check> failedOf(const std::vector<SelfTest::Check>& checks) {
  std::vector<SelfTest::Check> failed;
  for (const auto& check : checks) {
    if (!check.passed) failed.push_back(check);
  }
  return failed;
}

std::string describe(const std::vector<SelfTest::Check>& checks) {
  std::string text;
  for (const auto& check : checks) text += check.name + ": " + check.detail + "\n";
  return text;
}

std::vector<std::string> failedNames(const std::vector<SelfTest::Check>& checks) {
  std::vector<std::string> names;
  for (const auto& check : checks) {
    if (!check.passed) names.push_back(check.name + ": " + check.detail);
  }
  return names;
}

const SelfTest::Check* find(const std::vector<SelfTest::Check>& checks, const std::string& name) {
  for (const auto& check : checks) {
    if (check.name == name) return &check;
  }
  return nullptr;
}

std::vector<std::string> selfTestFilesIn(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(folder.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name.rfind("quorvel-selftest-", 0) == 0) names.push_back(name);
    }
    closedir(dir);
  }
  return names;
}

class SelfTestRun : public PlatformTest {};

TEST_F(SelfTestRun, EveryCheckPassesOnTheShippedBundleInACustomerBuild) {
  testing::useBuiltBundleAndRealRuntime();
  std::ostringstream out;
  const int status = diagnostics::runSelfTest({"quorvel", diagnostics::kSelfTestSwitch}, out);
  const auto checks = SelfTest::runAll(false);
  EXPECT_EQ(status, 0) << out.str();
  EXPECT_TRUE(failedOf(checks).empty()) << describe(failedOf(checks));
  // 3 alignment, 5 tensor, 2 crypto, 3 storage, 16 match, 1 model, 4 + 2 engine, 5 native
  // dlib, 2 match-test text, 7 palm, 8 enrolment ring, 1 lock state.
  EXPECT_EQ(checks.size(), 59u) << describe(checks);
  EXPECT_NE(out.str().find("  59 of 59 checks passed\n"), std::string::npos) << out.str();
  EXPECT_EQ(out.str().find("Failed:"), std::string::npos);
  for (const char* name :
       {"Engine dlib: descriptor is 128 numbers", "Engine dlib: descriptor scaling is correct",
        "Engine dlib: identical faces score perfectly", "Engine dlib: different images differ",
        "Native dlib: the same image gives the same embedding",
        "Match: head angle never drops the bar below 0.74",
        "Storage: learned prints are capped at 12"}) {
    EXPECT_NE(find(checks, name), nullptr) << name;
  }
  EXPECT_EQ(find(checks, "Engine dlib: identical faces score perfectly")->detail,
            "distance 0.0000");
  EXPECT_EQ(find(checks, "Match: head angle never drops the bar below 0.74")->detail,
            "floored at 0.7400");
  EXPECT_EQ(find(checks, "Enrolment: every ring direction maps to its own tick")->detail,
            "12 ticks, each 30.0000\u00B0 apart");
  EXPECT_EQ(find(checks, "Enrolment: samples are both ring passes plus one centre")->detail,
            "12 angles \u00D7 2 passes + 1 = 25");
  EXPECT_EQ(find(checks, "Palm gesture: a hand too small in frame is ignored")->detail,
            "reach 0.1 is below the 0.12 needed to act");
  EXPECT_EQ(find(checks, "Match test: the no-enrolment sentinel is not shown as a number")->detail,
            "scoreText(.greatestFiniteMagnitude) == \"\u2014\"");
  EXPECT_EQ(find(checks, "Match: a score of 0.95 unlocks immediately")->detail.rfind("unlock(smoothed: ", 0),
            0u);
  EXPECT_EQ(find(checks, "Crypto: encrypt and decrypt round trip")->detail, "57 sealed bytes");
}

TEST_F(SelfTestRun, ChecksAppearInTheirGroupsOrder) {
  testing::useBuiltBundleAndRealRuntime();
  const auto checks = SelfTest::runAll(false);
  std::vector<std::string> firsts;
  for (const auto& check : checks) {
    const std::string group = check.name.substr(0, check.name.find(':'));
    if (firsts.empty() || firsts.back() != group) firsts.push_back(group);
  }
  const std::vector<std::string> expected = {
      "Alignment", "Tensor",   "Crypto",      "Storage",    "Match",        "Calibration",
      "Match",     "Model",    "Engine dlib", "Native dlib", "Match test",  "Palm gesture",
      "Enrolment", "Lock state"};
  EXPECT_EQ(firsts, expected);
}

TEST_F(SelfTestRun, ABundleCarryingTheResearchModelFailsOnlyTheModelCheck) {
  testing::addDlibWeightsToBundle();
  // Compiled or as a package: either form is the model.
  const std::string package = testing::addBundleFolder("VavozuDare.mlpackage");
  EXPECT_FALSE(SelfTest::modelChecks().at(0).passed) << "a package";
  testing::removeTree(package);
  testing::addBundleFolder("VavozuDare.mlmodelc");
  const auto model = SelfTest::modelChecks();
  ASSERT_EQ(model.size(), 1u);
  EXPECT_FALSE(model[0].passed);
  EXPECT_EQ(model[0].name, "Model: research model is absent from this build");
  EXPECT_EQ(model[0].detail, "customer builds must not carry the personal-use model");
  std::ostringstream out;
  EXPECT_EQ(diagnostics::runSelfTest({"quorvel", diagnostics::kSelfTestSwitch}, out), 1);
  EXPECT_NE(out.str().find("  Failed:\n    - Model: research model is absent from this build: "
                           "customer builds must not carry the personal-use model\n"),
            std::string::npos)
      << out.str();
}

TEST_F(SelfTestRun, AKeychainThatRefusesWritesFailsExactlyTheStorageChecks) {
  testing::simulatedKeychain().refuseWrites(platform::keychain::errSecAuthFailed);
  const auto storage = SelfTest::storageChecks();
  ASSERT_EQ(storage.size(), 3u);
  EXPECT_EQ(storage[0].name, "Storage: enrolled prints save and load");
  EXPECT_EQ(storage[0].detail, "reopened store found 0");
  EXPECT_EQ(storage[1].name, "Storage: learned prints are capped at 12");
  EXPECT_EQ(storage[1].detail, "found 0");
  EXPECT_EQ(storage[2].name, "Storage: enrolled prints are never evicted");
  EXPECT_EQ(storage[2].detail, "found 0");
  for (const auto& check : storage) EXPECT_FALSE(check.passed) << check.name;
  // The crypto checks use keys of their own and never the Keychain.
  for (const auto& check : SelfTest::cryptoChecks()) EXPECT_TRUE(check.passed) << check.name;
  EXPECT_TRUE(selfTestFilesIn(home() + "/tmp").empty() && selfTestFilesIn(home()).empty());
}

TEST_F(SelfTestRun, StoragePassesAndLeavesNoThrowAwayFile) {
  const auto storage = SelfTest::storageChecks();
  ASSERT_EQ(storage.size(), 3u);
  for (const auto& check : storage) EXPECT_TRUE(check.passed) << check.name << ": " << check.detail;
  EXPECT_EQ(storage[0].detail, "reopened store found 2");
  EXPECT_EQ(storage[1].detail, "found 12");
  EXPECT_EQ(storage[2].detail, "found 2");
  const std::string tmp = platform::files::current()->temporaryFolder();
  EXPECT_TRUE(selfTestFilesIn(tmp).empty()) << tmp;
}

TEST_F(SelfTestRun, ALockedScreenFailsOnlyTheLockStateCheck) {
  testing::lockMachine().lock();
  const auto lock = SelfTest::lockStateChecks();
  ASSERT_EQ(lock.size(), 1u);
  EXPECT_FALSE(lock[0].passed);
  EXPECT_EQ(lock[0].name, "Lock state: system query runs and reports unlocked here");
  EXPECT_EQ(lock[0].detail, "the self-test only runs while genuinely unlocked");
}

TEST_F(SelfTestRun, WithoutTheBundledWeightsTheNativeDlibGroupIsThreeFailedChecks) {
  NativeDlib::load(home() + "/missing.dat");
  const auto dlib = SelfTest::nativeDlibChecks();
  ASSERT_EQ(dlib.size(), 3u);
  EXPECT_EQ(dlib[0].name, "Native dlib: bundled weight file is present");
  EXPECT_FALSE(dlib[0].passed);
  EXPECT_EQ(dlib[1].name, "Native dlib: bridge loaded successfully");
  EXPECT_FALSE(dlib[1].passed);
  EXPECT_EQ(dlib[2].name, "Native dlib: produces an embedding");
  EXPECT_FALSE(dlib[2].passed);
  EXPECT_EQ(dlib[2].detail, "no output from the bridge");
  const auto engines = SelfTest::engineChecks();
  ASSERT_FALSE(engines.empty());
  EXPECT_EQ(engines[0].name, "Engine dlib: model loads and runs");
  EXPECT_EQ(engines[0].detail, "no descriptor produced");
}

TEST_F(SelfTestRun, AFolderInPlaceOfTheWeightFileIsNoWeightFile) {
  testing::addBundleFolder("dlib_face_recognition_resnet_model_v1.dat");
  const auto dlib = SelfTest::nativeDlibChecks();
  ASSERT_FALSE(dlib.empty());
  EXPECT_EQ(dlib[0].name, "Native dlib: bundled weight file is present");
  EXPECT_FALSE(dlib[0].passed);
}

// A file system whose temporary folder cannot be named: the storage group throws.
struct ThrowingFileSystem : platform::files::LinuxFileSystem {
  std::string temporaryFolder() override { throw std::runtime_error("no temporary folder"); }
};

TEST_F(SelfTestRun, ACheckThatThrowsIsAFailedCheckWithItsMessageAndTheRunGoesOn) {
  ASSERT_TRUE(NativeDlib::load(testing::addDlibWeightsToBundle()));
  platform::files::install(std::make_shared<ThrowingFileSystem>());  // until tear-down
  const auto checks = SelfTest::runAll(false);
  EXPECT_EQ(failedNames(checks),
            std::vector<std::string>{"Storage: a check stopped with an error: no temporary folder"});
  EXPECT_EQ(checks.back().name, "Lock state: system query runs and reports unlocked here");
}

TEST_F(SelfTestRun, RulesGroupsPassWithTheShippedConstants) {
  for (const auto& group : {SelfTest::alignmentChecks(), SelfTest::matchChecks(),
                            SelfTest::palmGestureChecks(), SelfTest::matchTestTextChecks(),
                            SelfTest::enrolmentRingChecks(), SelfTest::cryptoChecks()}) {
    EXPECT_TRUE(failedOf(group).empty()) << describe(failedOf(group));
  }
  EXPECT_EQ(SelfTest::matchChecks().size(), 16u);
  EXPECT_EQ(SelfTest::palmGestureChecks().size(), 7u);
  EXPECT_EQ(SelfTest::enrolmentRingChecks().size(), 8u);
}

TEST_F(SelfTestRun, WindowServerChecksStandAfterTheMatchGroupAndAtTheEndOnlyWhenAsked) {
  testing::useBuiltBundleAndRealRuntime();
  const auto without = SelfTest::runAll(false);
  const auto with = SelfTest::runAll(true);
  ASSERT_EQ(with.size(), without.size() + 3);
  for (const auto& check : without) {
    EXPECT_EQ(check.name.find("keyboard focus"), std::string::npos) << check.name;
    EXPECT_NE(check.name.rfind("Unlock safety", 0), 0u) << check.name;
  }
  std::size_t model = 0;
  while (model < with.size() && with[model].name.rfind("Model:", 0) != 0) ++model;
  ASSERT_GE(model, 2u);
  EXPECT_EQ(with[model - 2].name, "Overlay: window can never take keyboard focus");
  EXPECT_EQ(with[model - 1].name, "Tutorial: window can take keyboard focus");
  EXPECT_EQ(with[model - 3].name.rfind("Match: head angle never drops the bar below", 0), 0u);
  EXPECT_EQ(with.back().name,
            "Unlock safety: refuses to type while the lock screen is not frontmost");
  EXPECT_TRUE(with[model - 2].passed && with[model - 1].passed);
  // The simulated machine is unlocked with an ordinary application in front.
  EXPECT_TRUE(with.back().passed) << with.back().detail;
}

}  // namespace
}  // namespace quorvel

namespace quorvel {
namespace {

TEST_F(SelfTestRun, WithTheLockScreenInFrontTheUnlockSafetyCheckFails) {
  testing::lockMachine().lock();
  const auto safety = SelfTest::unlockSafetyChecks();
  ASSERT_EQ(safety.size(), 1u);
  EXPECT_FALSE(safety[0].passed);
  EXPECT_EQ(safety[0].detail,
            "checked live on this machine \u2014 must be false whenever something other than the "
            "lock screen has focus");
}

}  // namespace
}  // namespace quorvel

namespace quorvel {
namespace {

TEST_F(SelfTestRun, InAWholeRunTheResearchModelFailsNothingButTheModelCheck) {
  ASSERT_TRUE(NativeDlib::load(testing::addDlibWeightsToBundle()));
  testing::addBundleFolder("VavozuDare.mlmodelc");
  const std::vector<std::string> expected = {
      "Model: research model is absent from this build: customer builds must not carry the "
      "personal-use model"};
  EXPECT_EQ(failedNames(SelfTest::runAll(false)), expected);
}

TEST_F(SelfTestRun, InAWholeRunARefusingKeychainFailsNothingButTheStorageChecks) {
  ASSERT_TRUE(NativeDlib::load(testing::addDlibWeightsToBundle()));
  testing::simulatedKeychain().refuseWrites(platform::keychain::errSecAuthFailed);
  const std::vector<std::string> expected = {
      "Storage: enrolled prints save and load: reopened store found 0",
      "Storage: learned prints are capped at 12: found 0",
      "Storage: enrolled prints are never evicted: found 0"};
  EXPECT_EQ(failedNames(SelfTest::runAll(false)), expected);
  std::ostringstream out;
  EXPECT_EQ(diagnostics::runSelfTest({"quorvel", diagnostics::kSelfTestSwitch}, out), 1);
  EXPECT_NE(out.str().find("  56 of 59 checks passed\n"), std::string::npos) << out.str();
}

}  // namespace
}  // namespace quorvel

namespace quorvel {
namespace {

// The developer build's model group, run here on simulated models so that the customer
// build's tests cover it too.
class DeveloperModelChecksTest : public testing::PlatformTest {
 protected:
  // A recogniser whose 512 outputs follow the input's first value, so that different images
  // give different (not unit-length) descriptors.
  void giveRecogniser() {
    testing::addBundleFolder("VavozuDare.mlpackage");
    testing::simulatedML().addModel(
        "VavozuDare.mlpackage",
        [](const platform::ml::FeatureProvider& input) -> platform::ml::Result<platform::ml::FeatureProvider> {
          const auto* array = input.featureValue("input")->multiArrayValue();
          auto out = platform::ml::MultiArray::make({1, 512});
          const float first = (*array)[0];
          for (std::size_t i = 0; i < 512; ++i) (*out)[i] = i % 2 ? first : 1.0f - first;
          platform::ml::FeatureProvider result;
          result.set("output", std::move(*out));
          return result;
        });
  }
  void giveLiveness() {
    testing::addBundleFolder("MiniFAS.mlpackage");
    testing::simulatedML().addModel("MiniFAS.mlpackage", std::vector<float>{2, 0});
  }
  static std::vector<std::string> names(const std::vector<SelfTest::Check>& checks) {
    std::vector<std::string> result;
    for (const auto& check : checks) result.push_back(check.name);
    return result;
  }
};

TEST_F(DeveloperModelChecksTest, WorkingModelsPassEveryCheckInOrder) {
  giveRecogniser();
  giveLiveness();
  const auto checks = SelfTest::developerModelChecks();
  ASSERT_EQ(names(checks),
            (std::vector<std::string>{"Model: recognition model loads and runs",
                                      "Model: faceprint is 512 numbers",
                                      "Model: faceprint is unit length",
                                      "Model: the same image scores 1.0 against itself",
                                      "Model: two different images do not score 1.0",
                                      "Model: liveness model loads and runs",
                                      "Model: liveness score is a probability"}));
  for (const auto& check : checks) EXPECT_TRUE(check.passed) << check.name << ": " << check.detail;
  EXPECT_EQ(checks[0].detail, "512 numbers out");
  EXPECT_EQ(checks[1].detail, "got 512");
  EXPECT_EQ(checks[2].detail, "length 1.0000");
  EXPECT_EQ(checks[3].detail, "1.0000");
  EXPECT_EQ(checks[5].detail, "scored 0.8808");
  EXPECT_EQ(checks[6].detail, "0.8808");
}

TEST_F(DeveloperModelChecksTest, MissingModelsFailWithTheirSingleChecks) {
  // Without the recognition model the group is that one failed check.
  giveLiveness();
  const auto checks = SelfTest::developerModelChecks();
  ASSERT_EQ(checks.size(), 1u);
  EXPECT_EQ(checks[0].name, "Model: recognition model loads and runs");
  EXPECT_FALSE(checks[0].passed);
  EXPECT_EQ(checks[0].detail, "no embedding produced");
  // With it, a missing liveness model is one failed check at the end.
  testing::simulatedML().remove("MiniFAS.mlpackage");
  giveRecogniser();
  const auto noLiveness = SelfTest::developerModelChecks();
  ASSERT_EQ(noLiveness.size(), 6u);
  EXPECT_EQ(noLiveness.back().name, "Model: liveness model loads and runs");
  EXPECT_FALSE(noLiveness.back().passed);
  EXPECT_EQ(noLiveness.back().detail, "no score produced");
}

}  // namespace
}  // namespace quorvel
