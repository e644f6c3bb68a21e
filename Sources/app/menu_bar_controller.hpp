// The menu-bar controller: the status item and the panel's actions and dialogs.
#pragma once

#include <string>

namespace quorvel {

class MenuBarController {
 public:
  // A match score as the match-test report shows it: three decimals while finite and below
  // 1000 in magnitude, else an em dash (the sentinel of an engine with nothing enrolled).
  static std::string scoreText(double value);
};

}  // namespace quorvel
