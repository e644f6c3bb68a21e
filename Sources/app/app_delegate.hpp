#pragma once
// The application object's delegate: the launch sequence that brings up every service of the
// menu-bar application, and the answers to the application's reopen/terminate questions.
#include <memory>
#include <string>
#include <vector>

#include "app/menu_bar_controller.hpp"

namespace quorvel {

// One entry of the application's main menu; an empty title with no action is a separator.
struct MainMenuItem {
  std::string title;
  std::string action;
  std::string keyEquivalent;
  bool isSeparator() const { return title.empty() && action.empty(); }
};

struct MainMenuSection {
  std::string title;  // the submenu's title ("" for the application menu)
  std::vector<MainMenuItem> items;
};

// The main menu the launch sequence builds: the application menu, then "Edit".
std::vector<MainMenuSection> buildMainMenu();

class AppDelegate {
 public:
  AppDelegate();

  void applicationDidFinishLaunching();
  bool applicationShouldHandleReopen(bool hasVisibleWindows);
  bool applicationShouldTerminateAfterLastWindowClosed() const { return false; }
  bool applicationSupportsSecureRestorableState() const { return true; }
  void applyDockVisibility();

  // The main menu installed at launch (empty before launch).
  const std::vector<MainMenuSection>& mainMenu() const { return mainMenu_; }
  // The menu-bar item, made with the delegate and kept for the life of the process.
  const std::shared_ptr<MenuBarController>& menuBar() const { return menuBar_; }

 private:
  const std::shared_ptr<MenuBarController> menuBar_;
  std::vector<MainMenuSection> mainMenu_;
};

}  // namespace quorvel
