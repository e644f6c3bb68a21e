// The application's one standard updater controller, made and started on first access
// (from any thread, exactly once) and kept for the life of the process.
#pragma once

#include "platform/updater/updater.hpp"

namespace quorvel {

struct AppUpdater {
  AppUpdater() = delete;
  static platform::updater::StandardUpdaterController& controller();
};

}  // namespace quorvel
