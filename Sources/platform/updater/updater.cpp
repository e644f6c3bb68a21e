#include "platform/updater/updater.hpp"

#include "platform/bundle/bundle.hpp"
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

StandardUpdaterController::StandardUpdaterController(
    bool startingUpdater, std::weak_ptr<UpdaterDelegate> updaterDelegate,
    std::shared_ptr<void> /*userDriverDelegate*/) {
  const std::string bundle = platform::bundle::Bundle::main().bundlePath();
  userDriver_ = std::make_shared<UserDriver>(UserDriver{bundle});
  updater_ = current()->makeUpdater(bundle, bundle, userDriver_, std::move(updaterDelegate));
  if (startingUpdater) startUpdater();
}

void StandardUpdaterController::startUpdater() {
  if (updater_->started()) return;
  startError_ = updater_->start();
}

void StandardUpdaterController::checkForUpdates(const void* /*sender*/) {
  if (!updater_->started()) return;
  updater_->checkForUpdates();
}

}  // namespace platform::updater
