#include "platform/updater/simulated_updater.hpp"

#include "platform/dispatch/dispatch.hpp"

namespace platform::updater {
namespace {

std::string describe(const std::optional<Error>& error) {
  if (!error) return "ok";
  return error->domain + " " + std::to_string(error->code);
}

class SimulatedUpdater : public Updater, public std::enable_shared_from_this<SimulatedUpdater> {
 public:
  SimulatedUpdater(SimulatedUpdateFramework& framework, std::shared_ptr<UserDriver> driver,
                   std::weak_ptr<UpdaterDelegate> delegate)
      : framework_(framework), driver_(std::move(driver)), delegate_(std::move(delegate)) {}

  std::optional<Error> start() override {
    std::optional<Error> error = framework_.startResult();
    framework_.record(error ? "start failed" : "start");
    started_ = !error;
    return error;
  }
  bool started() const override { return started_; }

  void checkForUpdates() override { check(UpdateCheck::updates, "check updates"); }
  void checkForUpdateInformation() override {
    check(UpdateCheck::updateInformation, "check information");
  }

 private:
  void check(UpdateCheck kind, const std::string& event) {
    if (!started_) {
      framework_.record("check refused (not started)");
      return;
    }
    framework_.record(event);
    std::weak_ptr<SimulatedUpdater> weakSelf = weak_from_this();
    SimulatedUpdateFramework* framework = &framework_;
    const std::optional<Error> result = framework_.cycleResult();
    const FoundUpdate found = framework_.foundUpdate();
    platform::dispatch::mainQueue().asyncAfter(
        framework_.cycleDelay(), [weakSelf, framework, kind, result, found] {
          auto self = weakSelf.lock();
          if (!self) return;
          framework->record("finish " + describe(result));
          finishUpdateCycle(*self, kind, result, found, self->driver_.get(), self->delegate_);
        });
  }

  SimulatedUpdateFramework& framework_;
  std::shared_ptr<UserDriver> driver_;
  std::weak_ptr<UpdaterDelegate> delegate_;
  bool started_ = false;
};

}  // namespace

std::shared_ptr<Updater> SimulatedUpdateFramework::makeUpdater(
    const std::string& hostBundlePath, const std::string& applicationBundlePath,
    std::shared_ptr<UserDriver> userDriver, std::weak_ptr<UpdaterDelegate> delegate) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++made_;
  }
  record("make host=" + hostBundlePath + " app=" + applicationBundlePath +
         " driver=" + (userDriver ? userDriver->bundlePath() : std::string("none")));
  return std::make_shared<SimulatedUpdater>(*this, std::move(userDriver), std::move(delegate));
}

void SimulatedUpdateFramework::failStart(std::optional<Error> error) {
  std::lock_guard<std::mutex> lock(mutex_);
  startError_ = std::move(error);
}

void SimulatedUpdateFramework::setCycleResult(std::optional<Error> error) {
  std::lock_guard<std::mutex> lock(mutex_);
  cycleError_ = std::move(error);
}

void SimulatedUpdateFramework::setCycleDelay(double seconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  cycleDelay_ = seconds;
}

std::vector<std::string> SimulatedUpdateFramework::events() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

int SimulatedUpdateFramework::updatersMade() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return made_;
}

void SimulatedUpdateFramework::record(const std::string& event) {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.push_back(event);
}

std::optional<Error> SimulatedUpdateFramework::startResult() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return startError_;
}

std::optional<Error> SimulatedUpdateFramework::cycleResult() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return cycleError_;
}

void SimulatedUpdateFramework::setFoundUpdate(FoundUpdate update) {
  std::lock_guard<std::mutex> lock(mutex_);
  found_ = std::move(update);
}

FoundUpdate SimulatedUpdateFramework::foundUpdate() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return found_;
}

double SimulatedUpdateFramework::cycleDelay() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return cycleDelay_;
}

}  // namespace platform::updater
