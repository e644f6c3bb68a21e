// The entry's switch table: which switch wins, that each reaches its body with that body's
// exit status, and that only a command line without switches starts the application.
#include <filesystem>
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

TEST(EntrySwitchTable, ModifiersCaseAttachedValuesAndARenderWithoutPathAreNotSwitches) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"quorvel"}, {"quorvel", "--palm"}, {"quorvel", "--dummy-field-check"},
        {"quorvel", "--CHECK"}, {"quorvel", "--check=yes"}, {"quorvel", "check"}, {"quorvel", "--render-animation"}}) {
    EXPECT_EQ(selectedSwitch(args), std::nullopt) << args.back();
  }
  EXPECT_EQ(selectedSwitch({"quorvel", "--preview-animation", "--render-animation"}), "--preview-animation");
}

TEST_F(EntryTest, NoSwitchStartsTheApplicationAndAnswersItsStatus) {
  EXPECT_EQ(run({}), 42);
  EXPECT_EQ(run({"--palm"}), 42);
  EXPECT_EQ(run({"--render-animation"}), 42);
  EXPECT_EQ(run({"--Check", "--self-test=1"}), 42);
  EXPECT_EQ(applicationStarts, 4);
  EXPECT_EQ(output.str(), "");  // the entry itself prints nothing
}

// Each switch reaches its own body, the earlier one of two, with that body's exit status.
TEST_F(EntryTest, ASwitchRunsItsBodyAndAnswersItsStatusWithoutStartingTheApplication) {
  const std::string png = home() + "/panel.png";
  const struct {
    std::vector<std::string> args;
    int status;
    const char* printed;     // part of the output ("": anything)
    const char* notPrinted;  // never part of it (nullptr: no such text)
  } cases[] = {
      {{"--check"}, 0, "Ready to unlock", nullptr},
      {{"--check"}, 0, "Built-in camera found", nullptr},
      // The crop diagnostic comes before the checklist: its usage error, not the checklist.
      {{"--check", "--diagnose-on-native-crop"}, 1, "usage: --diagnose-on-native-crop", "Ready to unlock"},
      // The alignment diagnostic comes before the crop diagnostic.
      {{"--diagnose-on-native-crop", "--diagnose-alignment"}, 1, "", "usage: --diagnose-on-native-crop"},
      {{"--diagnose-alignment"}, 1, "", nullptr},
      {{"--diagnose-on-native-crop", "only-one.png"}, 1, "", nullptr},
      {{"--render-animation", "/nonexistent-folder/panel.png"}, 1, "", nullptr},
      {{"--render-animation", png}, 0, "Rendered notch", nullptr},
      {{"--authorization-diagnostic", "--check"}, 0, "", "Ready to unlock"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(run(c.args), c.status) << c.args[0] << "\n" << output.str();
    EXPECT_NE(output.str().find(c.printed), std::string::npos) << output.str();
    if (c.notPrinted) {
      EXPECT_EQ(output.str().find(c.notPrinted), std::string::npos) << output.str();
    }
  }
  EXPECT_TRUE(std::filesystem::exists(png));
  EXPECT_EQ(applicationStarts, 0);
}

}  // namespace
