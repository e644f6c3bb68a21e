// The tests' update framework: scripted start and cycle results.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/updater/updater.hpp"

namespace platform::updater {

// Scripted framework. Cycles end on the main queue after `cycleDelay` seconds with the
// scripted result (no error unless one is set), answered through the user driver when the
// user asked for the check.
class SimulatedUpdateFramework : public UpdateFramework {
 public:
  std::shared_ptr<Updater> makeUpdater(const std::string& hostBundlePath,
                                       const std::string& applicationBundlePath,
                                       std::shared_ptr<UserDriver> userDriver,
                                       std::weak_ptr<UpdaterDelegate> delegate) override;

  void failStart(std::optional<Error> error);
  void setCycleResult(std::optional<Error> error);
  void setCycleDelay(double seconds);
  // What a cycle without an error found (a version 2.0 with notes unless set).
  void setFoundUpdate(FoundUpdate update);

  // "make host=<path> app=<path> driver=<path>", "start", "start failed", "check updates",
  // "check information", "check refused (not started)", "finish <result>" in order.
  std::vector<std::string> events() const;
  int updatersMade() const;

  // Used by its updaters.
  void record(const std::string& event);
  std::optional<Error> startResult() const;
  std::optional<Error> cycleResult() const;
  double cycleDelay() const;
  FoundUpdate foundUpdate() const;

 private:
  mutable std::mutex mutex_;
  std::optional<Error> startError_;
  std::optional<Error> cycleError_;
  double cycleDelay_ = 0.5;
  FoundUpdate found_{"2.0", "1.0", "Quorvel 2.0", "Faster unlocking.", "https://example.org/releases/2.0",
                     "/tmp/Quorvel-2.0.tar.gz"};
  std::vector<std::string> events_;
  int made_ = 0;
};

}  // namespace platform::updater
