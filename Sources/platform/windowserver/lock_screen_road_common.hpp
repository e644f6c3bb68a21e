// What the roads above the lock screen and the space over them share: the overlay's log, a
// clock, and the way `open` refuses.
#pragma once

#include <chrono>
#include <string>

#include "platform/log/log.hpp"

namespace platform::windowserver {

// Never destroyed: a road's bus thread may still log while the process exits.
inline const log::Logger& overlayLog() {
  static const auto* const logger = new log::Logger("com.tessmin.quorvel", "overlay");
  return *logger;
}

// Seconds on the steady clock.
inline double steadyNow() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Puts `reason` in `whyNot` (when given) and answers false, for `open`.
inline bool refuse(std::string* whyNot, const std::string& reason) {
  if (whyNot) *whyNot = reason;
  return false;
}

}  // namespace platform::windowserver
