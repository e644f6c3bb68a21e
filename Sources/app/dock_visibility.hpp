// The Dock-visibility rule: a Dock icon and an application menu bar (the regular activation
// policy) when the `showInDock` setting is on, neither (accessory) when it is off. The
// application delegate's `applyDockVisibility()` is `quorvel::applyDockVisibility()`; the
// launch sequence applies the same rule through `dockActivationPolicy`.
#pragma once

#include "platform/ui/application.hpp"

namespace quorvel {

platform::ui::ActivationPolicy dockActivationPolicy(bool showInDock);

// Sets the shared application object's activation policy from `Settings::shared().showInDock()`
// now. Main thread; keeps no state.
void applyDockVisibility();

}  // namespace quorvel
