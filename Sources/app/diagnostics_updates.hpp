// "--check-for-updates": one silent update-information check with the update framework,
// with an updater of its own (the application's standard controller is never made here).
#pragma once

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "platform/updater/updater.hpp"

namespace quorvel {

inline constexpr const char* kCheckForUpdatesSwitch = "--check-for-updates";

// Turns the end of an update cycle into one line of text for `done`.
class UpdateCheckDelegate : public platform::updater::UpdaterDelegate {
 public:
  explicit UpdateCheckDelegate(std::function<void(const std::string&)> done)
      : done_(std::move(done)) {}

  void didFinishUpdateCycle(platform::updater::Updater& updater,
                            platform::updater::UpdateCheck check,
                            const std::optional<platform::updater::Error>& error) override;

 private:
  const std::function<void(const std::string&)> done_;
};

namespace diagnostics {

// Runs the check and the application's run loop until the cycle ends; answers the exit
// status: 0 when the printed result begins with "OK", 1 otherwise or when the updater cannot
// start. `args` is the process's whole argument list (nothing further is read from it).
int runCheckForUpdates(const std::vector<std::string>& args, std::ostream& out);

}  // namespace diagnostics
}  // namespace quorvel
