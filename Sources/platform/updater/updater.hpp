// The update framework: an updater that reads the application's update feed, checks its
// signature and reports each update cycle to its delegate; a standard user driver that shows
// the framework's own interface; and the standard updater controller that the application's
// "Check for Updates" action talks to.
//
// `current()` is the installed framework, else the linux one (updater_linux.hpp). Linux has
// no such framework: its updaters fail to start with `kUnavailableDescription`, and a
// controller over them never checks. Tests install a `SimulatedUpdateFramework`
// (simulated_updater.hpp), whose start result and cycle results are scripted and whose cycle
// ends are delivered on the main queue.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace platform::updater {

// The framework's error domain and its "no update available" code.
inline constexpr const char* kErrorDomain = "SUSparkleErrorDomain";
inline constexpr std::int64_t kNoUpdateErrorCode = 1001;

// Where a framework that cannot be used reports its errors.
inline constexpr const char* kUnavailableDomain = "platform.updater";
inline constexpr std::int64_t kUnavailableCode = 1;
inline constexpr const char* kUnavailableDescription =
    "The update framework is not available on this system.";

struct Error {
  std::string domain;
  std::int64_t code = 0;
  std::string localizedDescription;
  bool operator==(const Error&) const = default;
};

// What an update cycle was started for.
enum class UpdateCheck { updates, updatesInBackground, updateInformation };

class Updater;

// Told when an update cycle ends. Updaters hold their delegate weakly.
class UpdaterDelegate {
 public:
  virtual ~UpdaterDelegate() = default;
  virtual void didFinishUpdateCycle(Updater& updater, UpdateCheck check,
                                    const std::optional<Error>& error) = 0;
};

// The framework's standard interface for one bundle (alerts, progress, release notes).
struct UserDriver {
  std::string bundlePath;
};

class Updater {
 public:
  virtual ~Updater() = default;
  // Starts the updater (reads the bundle's feed configuration, schedules automatic checks);
  // the error when it cannot start. Only a started updater checks.
  virtual std::optional<Error> start() = 0;
  virtual bool started() const = 0;
  // A check that shows the framework's interface.
  virtual void checkForUpdates() = 0;
  // A silent check for update information only; the delegate hears how it ended.
  virtual void checkForUpdateInformation() = 0;
};

class UpdateFramework {
 public:
  virtual ~UpdateFramework() = default;
  virtual std::shared_ptr<Updater> makeUpdater(const std::string& hostBundlePath,
                                               const std::string& applicationBundlePath,
                                               std::shared_ptr<UserDriver> userDriver,
                                               std::weak_ptr<UpdaterDelegate> delegate) = 0;
};

std::shared_ptr<UpdateFramework> current();
void install(std::shared_ptr<UpdateFramework> framework);

// The standard controller: one updater for the main bundle with a standard user driver,
// started at creation when asked to.
class StandardUpdaterController {
 public:
  StandardUpdaterController(bool startingUpdater, std::weak_ptr<UpdaterDelegate> updaterDelegate,
                            std::shared_ptr<void> userDriverDelegate);

  Updater& updater() { return *updater_; }
  // The error of the last start, if it failed.
  const std::optional<Error>& startError() const { return startError_; }
  void startUpdater();
  // The "Check for Updates" action; does nothing while the updater has not started.
  void checkForUpdates(const void* sender);

 private:
  std::shared_ptr<UserDriver> userDriver_;
  std::shared_ptr<Updater> updater_;
  std::optional<Error> startError_;
};

}  // namespace platform::updater
