// The user's accessibility display options that drawing code consults.
#pragma once

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

}  // namespace platform::workspace
