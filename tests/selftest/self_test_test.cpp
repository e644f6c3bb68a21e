// The self-test: what it prints for a list of checks and the exit status the switch returns;
// and the real checks on the simulated platform and on the shipped bundle: every check passes
// in a customer build, and breaking an invariant fails exactly its own check.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <sstream>
#include <string>
#include <vector>

#include "platform/files/files_linux.hpp"
#include "platform/keychain/keychain.hpp"
#include "recognition/native_dlib.hpp"
#include "selftest/self_test.hpp"
#include "support/B_helpers.hpp"
#include "support/face_models_hooks.hpp"
#include "support/models_hooks.hpp"
#include "support/platform_fixture.hpp"
#include "support/simulated_lock_machine.hpp"

namespace quorvel {
namespace {

using testing::PlatformTest;

std::vector<std::string> failedNames(const std::vector<SelfTest::Check>& checks) {
  std::vector<std::string> names;
  for (const auto& check : checks) {
    if (!check.passed) names.push_back(check.name + ": " + check.detail);
  }
  return names;
}

// The detail of the check `name`, or "missing".
std::string detailOf(const std::vector<SelfTest::Check>& checks, const std::string& name) {
  for (const auto& check : checks) {
    if (check.name == name) return check.detail;
  }
  return "missing";
}

// Each check as "PASS name: detail" or "FAIL name: detail".
std::vector<std::string> summary(const std::vector<SelfTest::Check>& checks) {
  std::vector<std::string> result;
  for (const auto& check : checks) {
    result.push_back((check.passed ? "PASS " : "FAIL ") + check.name + ": " + check.detail);
  }
  return result;
}

std::vector<std::string> names(const std::vector<SelfTest::Check>& checks) {
  std::vector<std::string> result;
  for (const auto& check : checks) result.push_back(check.name);
  return result;
}

std::vector<std::string> selfTestFilesIn(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code missing;  // a folder that does not exist holds none
  for (const auto& entry : std::filesystem::directory_iterator(folder, missing)) {
    const std::string name = entry.path().filename();
    if (name.starts_with("quorvel-selftest-")) names.push_back(name);
  }
  return names;
}

// Passing checks pass the run, which ends after the summary without a failed list; failures are
// counted and listed again in order after the summary.
TEST(SelfTestReport, FailuresAreCountedAndListedAgainInOrderAfterTheSummary) {
  std::ostringstream empty, passing, out;
  EXPECT_TRUE(SelfTest::report({}, empty));
  EXPECT_EQ(empty.str(), "\n\n  0 of 0 checks passed\n\n");
  EXPECT_TRUE(SelfTest::report({{"A", true, "a"}, {"B", true, ""}}, passing));
  EXPECT_EQ(passing.str(), "\n  PASS  A\n        a\n  PASS  B\n        \n\n  2 of 2 checks passed\n\n");
  const bool passed = SelfTest::report({{"First check", true, "fine"},
                                        {"Second check", false, "broke here"},
                                        {"Third check", false, "also broke"}},
                                       out);
  EXPECT_FALSE(passed);
  const std::vector<std::string> expected = {"",
                                             "  PASS  First check",
                                             "        fine",
                                             "  FAIL  Second check",
                                             "        broke here",
                                             "  FAIL  Third check",
                                             "        also broke",
                                             "",
                                             "  1 of 3 checks passed",
                                             "",
                                             "  Failed:",
                                             "    - Second check: broke here",
                                             "    - Third check: also broke",
                                             ""};
  EXPECT_EQ(testing::linesOf(out.str()), expected);
  EXPECT_EQ(out.str().back(), '\n');
}

class SelfTestRun : public PlatformTest {};

TEST_F(SelfTestRun, EveryCheckPassesOnTheShippedBundleInACustomerBuildInItsGroupsOrder) {
  testing::useBuiltBundleAndRealRuntime();
  std::ostringstream out;
  const int status = diagnostics::runSelfTest({"quorvel", diagnostics::kSelfTestSwitch}, out);
  const auto checks = SelfTest::runAll(false);
  EXPECT_EQ(status, 0) << out.str();
  EXPECT_TRUE(failedNames(checks).empty()) << ::testing::PrintToString(failedNames(checks));
  // 3 alignment, 5 tensor, 2 crypto, 3 storage, 16 match, 1 model, 4 + 2 engine, 5 native
  // dlib, 2 match-test text, 7 palm, 8 enrolment ring, 1 lock state.
  EXPECT_EQ(checks.size(), 59u) << ::testing::PrintToString(names(checks));
  EXPECT_NE(out.str().find("  59 of 59 checks passed\n"), std::string::npos) << out.str();
  EXPECT_EQ(out.str().find("Failed:"), std::string::npos);
  std::vector<std::string> groups;
  for (const auto& check : checks) {
    const std::string group = check.name.substr(0, check.name.find(':'));
    if (groups.empty() || groups.back() != group) groups.push_back(group);
  }
  EXPECT_EQ(groups, (std::vector<std::string>{"Alignment", "Tensor", "Crypto", "Storage", "Match", "Calibration",
                                              "Match", "Model", "Engine dlib", "Native dlib", "Match test",
                                              "Palm gesture", "Enrolment", "Lock state"}));
  for (const char* name :
       {"Engine dlib: descriptor is 128 numbers", "Engine dlib: descriptor scaling is correct",
        "Engine dlib: different images differ", "Native dlib: the same image gives the same embedding"}) {
    EXPECT_NE(detailOf(checks, name), "missing") << name;
  }
  const std::vector<std::pair<std::string, std::string>> details = {
      {"Engine dlib: identical faces score perfectly", "distance 0.0000"},
      {"Match: head angle never drops the bar below 0.74", "floored at 0.7400"},
      {"Match: a perfect face with liveness 0.40 never unlocks", "liveness floor is 0.55"},  // a float
      {"Enrolment: every ring direction maps to its own tick", "12 ticks, each 30.0000\u00B0 apart"},
      {"Enrolment: samples are both ring passes plus one centre", "12 angles \u00D7 2 passes + 1 = 25"},
      {"Palm gesture: a hand too small in frame is ignored", "reach 0.1 is below the 0.12 needed to act"},
      {"Match test: the no-enrolment sentinel is not shown as a number",
       "scoreText(.greatestFiniteMagnitude) == \"\u2014\""},
      {"Crypto: encrypt and decrypt round trip", "57 sealed bytes"},
      {"Storage: enrolled prints save and load", "reopened store found 2"},
      {"Storage: learned prints are capped at 12", "found 12"},
      {"Storage: enrolled prints are never evicted", "found 2"}};
  for (const auto& [name, detail] : details) EXPECT_EQ(detailOf(checks, name), detail) << name;
  EXPECT_EQ(detailOf(checks, "Match: a score of 0.95 unlocks immediately").rfind("unlock(smoothed: ", 0), 0u);
  // The storage checks leave no throw-away file behind.
  const std::string tmp = platform::files::current()->temporaryFolder();
  EXPECT_TRUE(selfTestFilesIn(tmp).empty()) << tmp;

  // The window-server checks stand before the model group, and at the end, only when asked.
  auto expected = names(checks);
  const auto model = std::find_if(expected.begin(), expected.end(),
                                  [](const std::string& name) { return name.rfind("Model:", 0) == 0; });
  expected.insert(model, {"Overlay: window can never take keyboard focus", "Tutorial: window can take keyboard focus"});
  expected.push_back("Unlock safety: refuses to type while the lock screen is not frontmost");
  const auto with = SelfTest::runAll(true);
  EXPECT_EQ(names(with), expected);
  // The simulated machine is unlocked with an ordinary application in front.
  EXPECT_TRUE(failedNames(with).empty()) << ::testing::PrintToString(failedNames(with));
}

// The switch's output ends with the summary and the list of failed checks: exactly these.
std::string endOfReport(int passed, const std::vector<std::string>& failed) {
  std::string text = "  " + std::to_string(passed) + " of 59 checks passed\n\n  Failed:\n";
  for (const auto& line : failed) text += "    - " + line + "\n";
  return text + "\n";
}

TEST_F(SelfTestRun, ABundleCarryingTheResearchModelInEitherFormFailsOnlyTheModelCheck) {
  ASSERT_TRUE(NativeDlib::load(testing::addDlibWeightsToBundle()));
  for (const char* form : {"VavozuDare.mlpackage", "VavozuDare.mlmodelc"}) {
    const std::string folder = testing::addBundleFolder(form);
    std::ostringstream out;
    EXPECT_EQ(diagnostics::runSelfTest({"quorvel", diagnostics::kSelfTestSwitch}, out), 1);
    EXPECT_TRUE(out.str().ends_with(endOfReport(58, {"Model: research model is absent from this build: customer "
                                                     "builds must not carry the personal-use model"})))
        << form << out.str();
    testing::removeTree(folder);
  }
}

TEST_F(SelfTestRun, AKeychainThatRefusesWritesFailsExactlyTheStorageChecks) {
  ASSERT_TRUE(NativeDlib::load(testing::addDlibWeightsToBundle()));
  testing::simulatedKeychain().refuseWrites(platform::keychain::errSecAuthFailed);
  // The crypto checks use keys of their own and never the Keychain.
  std::ostringstream out;
  EXPECT_EQ(diagnostics::runSelfTest({"quorvel", diagnostics::kSelfTestSwitch}, out), 1);
  EXPECT_TRUE(out.str().ends_with(endOfReport(56, {"Storage: enrolled prints save and load: reopened store found 0",
                                                   "Storage: learned prints are capped at 12: found 0",
                                                   "Storage: enrolled prints are never evicted: found 0"})))
      << out.str();
  EXPECT_TRUE(selfTestFilesIn(home() + "/tmp").empty() && selfTestFilesIn(home()).empty());
}

TEST_F(SelfTestRun, ALockedScreenFailsTheLockStateAndUnlockSafetyChecks) {
  testing::lockMachine().lock();
  EXPECT_EQ(summary(SelfTest::lockStateChecks()),
            std::vector<std::string>{
                "FAIL Lock state: system query runs and reports unlocked here: the self-test only "
                "runs while genuinely unlocked"});
  // With the lock screen in front, the unlock-safety check fails too.
  EXPECT_EQ(summary(SelfTest::unlockSafetyChecks()),
            std::vector<std::string>{
                "FAIL Unlock safety: refuses to type while the lock screen is not frontmost: "
                "checked live on this machine \u2014 must be false whenever something other than "
                "the lock screen has focus"});
}

TEST_F(SelfTestRun, WithoutTheBundledWeightFileTheNativeDlibGroupIsThreeFailedChecks) {
  NativeDlib::load(home() + "/missing.dat");
  // Missing, then a folder in the weight file's place: neither is a weight file.
  for (const bool folder : {false, true}) {
    if (folder) testing::addBundleFolder("dlib_face_recognition_resnet_model_v1.dat");
    const auto dlib = SelfTest::nativeDlibChecks();
    EXPECT_EQ(names(dlib), (std::vector<std::string>{"Native dlib: bundled weight file is present",
                                                     "Native dlib: bridge loaded successfully",
                                                     "Native dlib: produces an embedding"}));
    EXPECT_TRUE(failedNames(dlib).size() == dlib.size()) << folder;
    EXPECT_EQ(detailOf(dlib, "Native dlib: produces an embedding"), "no output from the bridge");
  }
  EXPECT_EQ(summary(SelfTest::engineChecks()).at(0),
            "FAIL Engine dlib: model loads and runs: no descriptor produced");
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
};

// Without the recognition model the group is that one failed check; with it, a missing liveness
// model is one failed check at the end; with both, every check passes in order.
TEST_F(DeveloperModelChecksTest, MissingModelsFailWithTheirSingleChecksAndWorkingOnesPassInOrder) {
  EXPECT_EQ(summary(SelfTest::developerModelChecks()),
            std::vector<std::string>{"FAIL Model: recognition model loads and runs: no embedding produced"});
  giveRecogniser();
  const auto noLiveness = summary(SelfTest::developerModelChecks());
  ASSERT_EQ(noLiveness.size(), 6u);
  EXPECT_EQ(noLiveness.back(), "FAIL Model: liveness model loads and runs: no score produced");
  giveLiveness();
  EXPECT_EQ(summary(SelfTest::developerModelChecks()),
            (std::vector<std::string>{"PASS Model: recognition model loads and runs: 512 numbers out",
                                      "PASS Model: faceprint is 512 numbers: got 512",
                                      "PASS Model: faceprint is unit length: length 1.0000",
                                      "PASS Model: the same image scores 1.0 against itself: 1.0000",
                                      "PASS Model: two different images do not score 1.0: grey vs red scored 0.0078",
                                      "PASS Model: liveness model loads and runs: scored 0.8808",
                                      "PASS Model: liveness score is a probability: 0.8808"}));
}

}  // namespace
}  // namespace quorvel
