#include <limits>

#include "app/menu_bar_controller.hpp"
#include "gtest/gtest.h"

namespace {

using quorvel::MenuBarController;

TEST(ScoreTextTest, FiniteScoresBelowAThousandShowThreeDecimals) {
  EXPECT_EQ(MenuBarController::scoreText(0.4123), "0.412");
  EXPECT_EQ(MenuBarController::scoreText(0.42), "0.420");
  EXPECT_EQ(MenuBarController::scoreText(-0.5), "-0.500");
  EXPECT_EQ(MenuBarController::scoreText(999.9996), "1000.000");
}

TEST(ScoreTextTest, SentinelsAndNonNumbersShowAnEmDash) {
  EXPECT_EQ(MenuBarController::scoreText(1000), "\u2014");
  EXPECT_EQ(MenuBarController::scoreText(-1000), "\u2014");
  EXPECT_EQ(MenuBarController::scoreText(std::numeric_limits<double>::max()), "\u2014");
  EXPECT_EQ(MenuBarController::scoreText(std::numeric_limits<double>::infinity()), "\u2014");
  EXPECT_EQ(MenuBarController::scoreText(std::numeric_limits<double>::quiet_NaN()), "\u2014");
}

}  // namespace
