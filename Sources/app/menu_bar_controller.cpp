#include "app/menu_bar_controller.hpp"

#include <cmath>
#include <cstdio>

namespace quorvel {

std::string MenuBarController::scoreText(double value) {
  if (!std::isfinite(value) || std::fabs(value) >= 1000) return "\u2014";
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", value);
  return text;
}

}  // namespace quorvel
