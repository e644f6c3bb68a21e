// The two plain values the menu panel is built from: a snapshot of everything it shows and a
// table of the callbacks its rows run. The menu-bar controller makes both afresh for every
// opening of the panel and after every in-place change; the panel reads nothing else.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quorvel {

struct MenuPanelState {
  // One entry of the developer section's engine list.
  struct Engine {
    std::string name;
    bool isSelected = false;
    bool isSelectable = true;
    bool operator==(const Engine&) const = default;
  };

  std::string statusText;       // why face unlock cannot run, or the ready text
  bool statusIsWarning = false; // colours the header's symbol orange instead of green
  bool unlockEnabled = false;
  std::string enrolTitle;
  std::string passwordTitle;
  std::optional<std::string> quorvelPasswordTitle;  // absent hides the app-password row
  bool accessibilityWarning = false;                // shows the Accessibility row
  bool playAnimation = false;
  bool palmToCancel = false;
  bool authorizationAssist = false;                 // the assist switch's state (`enabled`)
  bool showInDock = false;
  bool openAtLogin = false;
  bool isDeveloper = false;                         // shows the developer section
  std::vector<Engine> engines;                      // empty hides the engine list

  // What the authorization assist says of itself, read by whoever makes the snapshot: whether
  // it is available (its switch and caption are shown only then) and its status text (the
  // caption under the switch).
  bool authorizationAssistAvailable = false;
  std::string authorizationAssistStatus = "Off";

  bool operator==(const MenuPanelState&) const = default;
};

// The callbacks of the panel's rows. An unset callback does nothing.
struct MenuPanelActions {
  std::function<void()> toggleUnlock;
  std::function<void()> showEnrolment;
  std::function<void()> showTutorial;
  std::function<void()> setPassword;
  std::function<void()> setQuorvelPassword;
  std::function<void()> grantAccessibility;
  std::function<void()> toggleAnimation;
  std::function<void()> togglePalmToCancel;
  std::function<void()> toggleAuthorizationAssist;
  std::function<void()> toggleDockIcon;
  std::function<void()> toggleLoginItem;
  std::function<void(const std::string&)> chooseEngine;  // takes the chosen entry's name
  std::function<void()> checkForUpdates;
  std::function<void()> forgetFace;
  std::function<void()> quit;
  std::function<void()> runTest;
  std::function<void()> previewAnimation;
  std::function<void()> close;  // closes the popover
};

}  // namespace quorvel
