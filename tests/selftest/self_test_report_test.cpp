// What the self-test prints for a list of checks, and the exit status the switch returns.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "selftest/self_test.hpp"
#include "selftest/self_test_format.hpp"
#include "support/B_helpers.hpp"

namespace quorvel {
namespace {

TEST(SelfTestReport, AnEmptyListPassesWithZeroOfZero) {
  std::ostringstream out;
  EXPECT_TRUE(SelfTest::report({}, out));
  EXPECT_EQ(out.str(), "\n\n  0 of 0 checks passed\n\n");
}

TEST(SelfTestReport, AllPassingChecksEndAfterTheSummaryWithoutAFailedList) {
  std::ostringstream out;
  EXPECT_TRUE(SelfTest::report({{"A", true, "a"}, {"B", true, ""}}, out));
  EXPECT_EQ(out.str(), "\n  PASS  A\n        a\n  PASS  B\n        \n\n  2 of 2 checks passed\n\n");
}

TEST(SelfTestReport, FailuresAreCountedAndListedAgainInOrderAfterTheSummary) {
  std::ostringstream out;
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

TEST(SelfTestFormat, NumbersUseFourDecimalsOrTheShortestForm) {
  EXPECT_EQ(self_test_format::fixed4(1.0), "1.0000");
  EXPECT_EQ(self_test_format::fixed4(-0.99612), "-0.9961");
  EXPECT_EQ(self_test_format::shortest(0.42), "0.42");
  EXPECT_EQ(self_test_format::shortest(0.55f), "0.55");
}

}  // namespace
}  // namespace quorvel
