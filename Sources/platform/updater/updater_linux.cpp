#include "platform/updater/updater_linux.hpp"

namespace platform::updater {
namespace {

Error unavailable() { return Error{kUnavailableDomain, kUnavailableCode, kUnavailableDescription}; }

// No update framework on Linux: nothing can start, so nothing ever checks.
class LinuxUpdater : public Updater {
 public:
  std::optional<Error> start() override { return unavailable(); }
  bool started() const override { return false; }
  void checkForUpdates() override {}
  void checkForUpdateInformation() override {}
};

class LinuxUpdateFramework : public UpdateFramework {
 public:
  std::shared_ptr<Updater> makeUpdater(const std::string&, const std::string&,
                                       std::shared_ptr<UserDriver>,
                                       std::weak_ptr<UpdaterDelegate>) override {
    return std::make_shared<LinuxUpdater>();
  }
};

}  // namespace

std::shared_ptr<UpdateFramework> makeLinuxUpdateFramework() {
  return std::make_shared<LinuxUpdateFramework>();
}

}  // namespace platform::updater
