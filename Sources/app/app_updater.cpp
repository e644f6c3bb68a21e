#include "app/app_updater.hpp"

#include "platform/shared.hpp"

namespace quorvel {

platform::updater::StandardUpdaterController& AppUpdater::controller() {
  static platform::SharedInstance<platform::updater::StandardUpdaterController> instance([] {
    return std::make_shared<platform::updater::StandardUpdaterController>(true, std::weak_ptr<platform::updater::UpdaterDelegate>(),
                                                                          nullptr);
  });
  return instance.get();
}

}  // namespace quorvel
