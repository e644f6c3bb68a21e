#include "platform/updater/updater.hpp"

#include "platform/bundle/bundle.hpp"
#include "platform/log/log.hpp"
#include "platform/updater/standard_user_driver.hpp"
#include "platform/updater/updater_linux.hpp"

namespace platform::updater {
namespace {

std::mutex& installMutex() {
  static std::mutex mutex;
  return mutex;
}
std::shared_ptr<UpdateFramework>& installed() {
  static std::shared_ptr<UpdateFramework> framework;
  return framework;
}

const platform::log::Logger& logger() {
  static const platform::log::Logger log("com.tessmin.quorvel", "app");
  return log;
}

}  // namespace

std::shared_ptr<UpdateFramework> current() {
  std::lock_guard<std::mutex> lock(installMutex());
  if (!installed()) installed() = makeLinuxUpdateFramework();
  return installed();
}

void install(std::shared_ptr<UpdateFramework> framework) {
  std::lock_guard<std::mutex> lock(installMutex());
  installed() = std::move(framework);
}

void finishUpdateCycle(Updater& updater, UpdateCheck check, const std::optional<Error>& error,
                       const std::optional<FoundUpdate>& found, UserDriver* driver,
                       const std::weak_ptr<UpdaterDelegate>& delegate) {
  if (!error) {
    logger().info("Update found: version %s", found ? found->version : std::string("?"));
  } else if (error->domain == kErrorDomain && error->code == kNoUpdateErrorCode) {
    logger().info("No update available: %s", error->localizedDescription);
  } else {
    logger().error("Update check failed: %s", error->localizedDescription);
  }
  if (check == UpdateCheck::updates && driver) {
    if (!error && found) {
      driver->showUpdateFound(*found);
    } else if (error && error->domain == kErrorDomain && error->code == kNoUpdateErrorCode) {
      driver->showUpdateNotFound(*error);
    } else if (error) {
      driver->showUpdaterError(*error);
    }
  }
  if (auto listener = delegate.lock()) listener->didFinishUpdateCycle(updater, check, error);
}

StandardUpdaterController::StandardUpdaterController(
    bool startingUpdater, std::weak_ptr<UpdaterDelegate> updaterDelegate,
    std::shared_ptr<void> /*userDriverDelegate*/) {
  const std::string bundle = platform::bundle::Bundle::main().bundlePath();
  userDriver_ = std::make_shared<StandardUserDriver>(bundle);
  updater_ = current()->makeUpdater(bundle, bundle, userDriver_, std::move(updaterDelegate));
  if (startingUpdater) startUpdater();
}

void StandardUpdaterController::startUpdater() {
  if (updater_->started()) return;
  startError_ = updater_->start();
  if (startError_) logger().error("The updater did not start: %s", startError_->localizedDescription);
}

void StandardUpdaterController::checkForUpdates(const void* /*sender*/) {
  if (!updater_->started()) {
    const Error reason = startError_.value_or(
        Error{kErrorDomain, kInvalidFeedURLErrorCode, "The updater has not been started."});
    logger().error("Cannot check for updates: %s", reason.localizedDescription);
    userDriver_->showCannotStart(reason);
    return;
  }
  updater_->checkForUpdates();
}

}  // namespace platform::updater
