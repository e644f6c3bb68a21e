// The simulated display options of the tests' machine.
#pragma once

#include <atomic>

#include "platform/workspace/display_options.hpp"

namespace platform::workspace {

class SimulatedDisplayOptions : public DisplayOptions {
 public:
  bool accessibilityDisplayShouldReduceMotion() override { return reduceMotion_.load(); }
  void setReduceMotion(bool value) { reduceMotion_.store(value); }

 private:
  std::atomic<bool> reduceMotion_{false};
};

}  // namespace platform::workspace
