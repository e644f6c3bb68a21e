#include "app/dock_visibility.hpp"

#include "foundation/settings.hpp"

namespace quorvel {

platform::ui::ActivationPolicy dockActivationPolicy(bool showInDock) {
  return showInDock ? platform::ui::ActivationPolicy::regular
                    : platform::ui::ActivationPolicy::accessory;
}

void applyDockVisibility() {
  platform::ui::shared()->setActivationPolicy(dockActivationPolicy(Settings::shared().showInDock()));
}

}  // namespace quorvel
