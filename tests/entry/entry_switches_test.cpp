// The entry's switch table: which switch wins, that each reaches its body with that body's
// exit status, and that only a command line without switches starts the application.
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/entry.hpp"
#include "support/platform_fixture.hpp"

namespace {

using quorvel::entrySwitches;
using quorvel::runEntry;
using quorvel::selectedSwitch;

class EntryTest : public quorvel::testing::PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    quorvel::setApplicationStartForTesting([this] {
      ++applicationStarts;
      return 42;
    });
  }
  void TearDown() override {
    quorvel::setApplicationStartForTesting(nullptr);
    PlatformTest::TearDown();
  }
  int run(std::vector<std::string> args) {
    args.insert(args.begin(), "quorvel");
    output.str("");
    return runEntry(args, output);
  }
  int applicationStarts = 0;
  std::ostringstream output;
};

TEST(EntrySwitchTable, TestsTheSwitchesInTheirFixedOrder) {
  const std::vector<std::string> expected = {
      "--authorization-probe",    "--authorization-diagnostic", "--self-test",
      "--request-camera",         "--diagnose-storage",         "--render-animation",
      "--preview-animation",      "--check-for-updates",        "--diagnose-palm",
      "--diagnose-camera",        "--diagnose-alignment",       "--diagnose-on-native-crop",
      "--check"};
  EXPECT_EQ(entrySwitches(), expected);
  // Every pair: the earlier switch of the table wins whatever the argument order.
  for (std::size_t i = 0; i < expected.size(); ++i) {
    for (std::size_t j = i + 1; j < expected.size(); ++j) {
      std::vector<std::string> args = {"quorvel", expected[j], expected[i], "out.png"};
      EXPECT_EQ(selectedSwitch(args), expected[i]) << expected[i] << " vs " << expected[j];
    }
  }
}

TEST(EntrySwitchTable, RenderAnimationNeedsAFollowingArgument) {
  EXPECT_EQ(selectedSwitch({"quorvel", "--render-animation", "/tmp/x.png"}),
            "--render-animation");
  EXPECT_EQ(selectedSwitch({"quorvel", "--render-animation"}), std::nullopt);
  EXPECT_EQ(selectedSwitch({"quorvel", "--preview-animation", "--render-animation"}),
            "--preview-animation");
}

TEST(EntrySwitchTable, ModifiersCaseAndAttachedValuesAreNotSwitches) {
  EXPECT_EQ(selectedSwitch({"quorvel"}), std::nullopt);
  EXPECT_EQ(selectedSwitch({"quorvel", "--palm"}), std::nullopt);
  EXPECT_EQ(selectedSwitch({"quorvel", "--dummy-field-check"}), std::nullopt);
  EXPECT_EQ(selectedSwitch({"quorvel", "--CHECK"}), std::nullopt);
  EXPECT_EQ(selectedSwitch({"quorvel", "--check=yes"}), std::nullopt);
  EXPECT_EQ(selectedSwitch({"quorvel", "check"}), std::nullopt);
}

TEST_F(EntryTest, NoSwitchStartsTheApplicationAndAnswersItsStatus) {
  EXPECT_EQ(run({}), 42);
  EXPECT_EQ(run({"--palm"}), 42);
  EXPECT_EQ(run({"--dummy-field-check"}), 42);
  EXPECT_EQ(run({"--render-animation"}), 42);
  EXPECT_EQ(run({"--Check", "--self-test=1"}), 42);
  EXPECT_EQ(applicationStarts, 5);
  EXPECT_EQ(output.str(), "");  // the entry itself prints nothing
}

TEST_F(EntryTest, CheckPrintsTheChecklistAndExitsZeroWithoutStartingTheApplication) {
  EXPECT_EQ(run({"--check"}), 0);
  EXPECT_NE(output.str().find("Ready to unlock"), std::string::npos) << output.str();
  EXPECT_NE(output.str().find("Built-in camera found"), std::string::npos);
  EXPECT_EQ(applicationStarts, 0);
}

TEST_F(EntryTest, TwoSwitchesRunOnlyTheEarlierOnesBody) {
  // The crop diagnostic comes before the checklist: its usage error, not the checklist.
  EXPECT_EQ(run({"--check", "--diagnose-on-native-crop"}), 1);
  EXPECT_NE(output.str().find("usage: --diagnose-on-native-crop"), std::string::npos);
  EXPECT_EQ(output.str().find("Ready to unlock"), std::string::npos) << output.str();
  // The alignment diagnostic comes before the crop diagnostic.
  EXPECT_EQ(run({"--diagnose-on-native-crop", "--diagnose-alignment"}), 1);
  EXPECT_EQ(output.str().find("usage: --diagnose-on-native-crop"), std::string::npos);
  EXPECT_EQ(applicationStarts, 0);
}

TEST_F(EntryTest, UsageErrorsExitOne) {
  EXPECT_EQ(run({"--diagnose-alignment"}), 1);
  EXPECT_EQ(run({"--diagnose-on-native-crop", "only-one.png"}), 1);
  EXPECT_EQ(applicationStarts, 0);
}

TEST_F(EntryTest, RenderAnimationToAnUnwritablePathExitsOne) {
  EXPECT_EQ(run({"--render-animation", "/nonexistent-folder/panel.png"}), 1);
  EXPECT_EQ(applicationStarts, 0);
}

TEST_F(EntryTest, RenderAnimationWritesThePngAndExitsZero) {
  const std::string path = home() + "/panel.png";
  EXPECT_EQ(run({"--render-animation", path}), 0) << output.str();
  std::FILE* file = std::fopen(path.c_str(), "rb");
  ASSERT_NE(file, nullptr);
  std::fclose(file);
}

TEST_F(EntryTest, AuthorizationDiagnosticExitsZero) {
  EXPECT_EQ(run({"--authorization-diagnostic", "--check"}), 0);
  EXPECT_EQ(output.str().find("Ready to unlock"), std::string::npos);
  EXPECT_EQ(applicationStarts, 0);
}

}  // namespace
