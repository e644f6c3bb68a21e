// What the self-test prints for a list of checks, and the exit status the switch returns.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "selftest/self_test.hpp"
#include "selftest/self_test_format.hpp"

namespace quorvel {
namespace {

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  std::istringstream in(text);
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

TEST(SelfTestReport, AnEmptyListPassesWithZeroOfZero) {
  std::ostringstream out;
  EXPECT_TRUE(SelfTest::report({}, out));
  EXPECT_EQ(out.str(), "\n\n  0 of 0 checks passed\n\n");
}

TEST(SelfTestReport, OneFailedCheckIsPrintedTwiceAndFailsTheRun) {
  std::ostringstream out;
  EXPECT_FALSE(SelfTest::report({{"X", false, "y"}}, out));
  EXPECT_EQ(out.str(),
            "\n"
            "  FAIL  X\n"
            "        y\n"
            "\n"
            "  0 of 1 checks passed\n"
            "\n"
            "  Failed:\n"
            "    - X: y\n"
            "\n");
}

TEST(SelfTestReport, MixedListKeepsOrderCountsPassesAndListsOnlyTheFailures) {
  std::ostringstream out;
  const bool passed = SelfTest::report({{"First check", true, "fine"},
                                        {"Second check", false, "broke here"},
                                        {"Third check", true, ""},
                                        {"Fourth check", false, "also broke"}},
                                       out);
  EXPECT_FALSE(passed);
  const std::vector<std::string> expected = {"",
                                             "  PASS  First check",
                                             "        fine",
                                             "  FAIL  Second check",
                                             "        broke here",
                                             "  PASS  Third check",
                                             "        ",
                                             "  FAIL  Fourth check",
                                             "        also broke",
                                             "",
                                             "  2 of 4 checks passed",
                                             "",
                                             "  Failed:",
                                             "    - Second check: broke here",
                                             "    - Fourth check: also broke",
                                             ""};
  EXPECT_EQ(linesOf(out.str()), expected);
}

TEST(SelfTestReport, AllPassingChecksEndAfterTheSummaryWithoutAFailedList) {
  std::ostringstream out;
  EXPECT_TRUE(SelfTest::report({{"A", true, "a"}, {"B", true, "b"}}, out));
  EXPECT_EQ(out.str(), "\n  PASS  A\n        a\n  PASS  B\n        b\n\n  2 of 2 checks passed\n\n");
  EXPECT_EQ(out.str().find("Failed"), std::string::npos);
}

TEST(SelfTestFormat, NumbersUseFourDecimalsOrTheShortestForm) {
  EXPECT_EQ(self_test_format::fixed4(1.0), "1.0000");
  EXPECT_EQ(self_test_format::fixed4(-0.99612), "-0.9961");
  EXPECT_EQ(self_test_format::shortest(0.42), "0.42");
  EXPECT_EQ(self_test_format::shortest(0.5), "0.5");
  EXPECT_EQ(self_test_format::shortest(0.55f), "0.55");
  EXPECT_EQ(self_test_format::shortest(0.1), "0.1");
}

}  // namespace
}  // namespace quorvel
