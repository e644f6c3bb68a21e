#include "foundation/log.hpp"

namespace quorvel {

// Created once, on first use, safely from any thread, and never destroyed: work still running
// on a queue's thread while the process exits may log.
const platform::log::Logger& Log::face() {
  static const auto* logger = new platform::log::Logger(subsystem, "face");
  return *logger;
}
const platform::log::Logger& Log::unlock() {
  static const auto* logger = new platform::log::Logger(subsystem, "unlock");
  return *logger;
}
const platform::log::Logger& Log::overlay() {
  static const auto* logger = new platform::log::Logger(subsystem, "overlay");
  return *logger;
}
const platform::log::Logger& Log::app() {
  static const auto* logger = new platform::log::Logger(subsystem, "app");
  return *logger;
}

}  // namespace quorvel
