// The update framework: an updater that reads the application's update feed, checks its
// signature and reports each update cycle to its delegate; a standard user driver that shows
// the framework's own interface; and the standard updater controller that the application's
// "Check for Updates" action talks to.
//
// `current()` is the installed framework, else the linux one (updater_linux.hpp): a signed
// RSS feed fetched over HTTPS, whose address, signing key and the running version come from
// the bundle's configuration (update_configuration.hpp). Tests install a
// `SimulatedUpdateFramework` (simulated_updater.hpp), whose start result and cycle results
// are scripted and whose cycle ends are delivered on the main queue.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace platform::updater {

// The framework's error domain and its codes.
inline constexpr const char* kErrorDomain = "SUSparkleErrorDomain";
inline constexpr std::int64_t kNoPublicKeyErrorCode = 1;
inline constexpr std::int64_t kInsecureFeedURLErrorCode = 3;
inline constexpr std::int64_t kInvalidFeedURLErrorCode = 4;
inline constexpr std::int64_t kInvalidHostVersionErrorCode = 7;
inline constexpr std::int64_t kAppcastParseErrorCode = 1000;
inline constexpr std::int64_t kNoUpdateErrorCode = 1001;
inline constexpr std::int64_t kAppcastErrorCode = 1002;
inline constexpr std::int64_t kTemporaryDirectoryErrorCode = 2000;
inline constexpr std::int64_t kDownloadErrorCode = 2001;
inline constexpr std::int64_t kSignatureErrorCode = 3001;

struct Error {
  std::string domain;
  std::int64_t code = 0;
  std::string localizedDescription;
  bool operator==(const Error&) const = default;
};

// An update newer than the running version whose archive was downloaded and whose signature
// was verified.
struct FoundUpdate {
  std::string version;
  std::string hostVersion;      // the running version
  std::string title;
  std::string releaseNotes;     // plain text
  std::string releasePage;      // the item's link; may be empty
  std::string archivePath;      // the verified archive (kept for a check the user asked for)
  bool operator==(const FoundUpdate&) const = default;
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

// The framework's interface for one bundle: how a check the user asked for is answered.
// Main thread.
class UserDriver {
 public:
  explicit UserDriver(std::string bundlePath) : bundlePath_(std::move(bundlePath)) {}
  virtual ~UserDriver() = default;
  const std::string& bundlePath() const { return bundlePath_; }

  virtual void showUpdateFound(const FoundUpdate& update) = 0;
  // `error` is the "no update" error, whose description says which version is current.
  virtual void showUpdateNotFound(const Error& error) = 0;
  virtual void showUpdaterError(const Error& error) = 0;
  // The updater did not start, so it cannot check; `error` says why.
  virtual void showCannotStart(const Error& error) = 0;

 private:
  std::string bundlePath_;
};

class Updater {
 public:
  virtual ~Updater() = default;
  // Starts the updater (reads the bundle's feed configuration); the error when it cannot
  // start. Only a started updater checks.
  virtual std::optional<Error> start() = 0;
  virtual bool started() const = 0;
  // A check that shows the framework's interface (through the user driver) when it ends.
  virtual void checkForUpdates() = 0;
  // A silent check for update information only; the delegate hears how it ended.
  virtual void checkForUpdateInformation() = 0;
};

// Ends an update cycle on the main thread: a check the user asked for is answered through
// `driver` (when there is one), then `delegate` (when it still exists) is told.
void finishUpdateCycle(Updater& updater, UpdateCheck check, const std::optional<Error>& error,
                       const std::optional<FoundUpdate>& found, UserDriver* driver,
                       const std::weak_ptr<UpdaterDelegate>& delegate);

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
  // The "Check for Updates" action. While the updater has not started it checks nothing and
  // tells the user why.
  void checkForUpdates(const void* sender);

 private:
  std::shared_ptr<UserDriver> userDriver_;
  std::shared_ptr<Updater> updater_;
  std::optional<Error> startError_;
};

}  // namespace platform::updater
