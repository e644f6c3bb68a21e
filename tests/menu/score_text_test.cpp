#include <limits>
#include <utility>

#include "app/menu_bar_controller.hpp"
#include "gtest/gtest.h"

namespace {

using quorvel::MenuBarController;

TEST(ScoreTextTest, ThreeDecimalsBelowAThousandAndAnEmDashForSentinelsAndNonNumbers) {
  using limits = std::numeric_limits<double>;
  const std::pair<double, const char*> cases[] = {
      {0.42, "0.420"}, {-0.5, "-0.500"}, {999.9996, "1000.000"}, {1000, "\u2014"}, {-1000, "\u2014"},
      {limits::max(), "\u2014"}, {limits::infinity(), "\u2014"}, {limits::quiet_NaN(), "\u2014"}};
  for (const auto& [score, text] : cases) {
    EXPECT_EQ(MenuBarController::scoreText(score), text) << score;
  }
}

}  // namespace
