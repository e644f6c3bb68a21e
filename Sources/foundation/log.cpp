#include "foundation/log.hpp"

namespace quorvel {

// Function-local statics: created once, on first use, safely from any thread.
const platform::log::Logger& Log::face() {
  static const platform::log::Logger logger(subsystem, "face");
  return logger;
}
const platform::log::Logger& Log::unlock() {
  static const platform::log::Logger logger(subsystem, "unlock");
  return logger;
}
const platform::log::Logger& Log::overlay() {
  static const platform::log::Logger logger(subsystem, "overlay");
  return logger;
}
const platform::log::Logger& Log::app() {
  static const platform::log::Logger logger(subsystem, "app");
  return logger;
}

}  // namespace quorvel
