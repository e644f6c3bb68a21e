// The application's four loggers, all under the subsystem "com.tessmin.quorvel".
#pragma once

#include "platform/log/log.hpp"

namespace quorvel {

struct Log {
  Log() = delete;
  static constexpr const char* subsystem = "com.tessmin.quorvel";
  static const platform::log::Logger& face();
  static const platform::log::Logger& unlock();
  static const platform::log::Logger& overlay();
  static const platform::log::Logger& app();
};

}  // namespace quorvel
