// The user's accessibility display options that drawing code consults.
#pragma once

#include <atomic>
#include <memory>

namespace platform::workspace {

class DisplayOptions {
 public:
  virtual ~DisplayOptions() = default;
  // Whether the user asked for reduced motion.
  virtual bool accessibilityDisplayShouldReduceMotion() = 0;
};

std::shared_ptr<DisplayOptions> displayOptions();
void installDisplayOptions(std::shared_ptr<DisplayOptions> options);

class SimulatedDisplayOptions : public DisplayOptions {
 public:
  bool accessibilityDisplayShouldReduceMotion() override { return reduceMotion_.load(); }
  void setReduceMotion(bool value) { reduceMotion_.store(value); }

 private:
  std::atomic<bool> reduceMotion_{false};
};

// Linux: the desktop's "enable animations" setting is not consulted; motion is never reduced
// unless QUORVEL_REDUCE_MOTION=1 is set in the environment.
std::shared_ptr<DisplayOptions> makeLinuxDisplayOptions();

}  // namespace platform::workspace
