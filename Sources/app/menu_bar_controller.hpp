// The menu-bar controller: the status item and the panel's actions and dialogs.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/menu_panel_state.hpp"
#include "app/menu_panel_view.hpp"
#include "platform/ui/status_bar.hpp"
#include "foundation/recognition_engine.hpp"
#include "unlock/unlock_coordinator.hpp"

namespace quorvel {

class MenuBarController : public std::enable_shared_from_this<MenuBarController> {
 public:
  // The localized reason of the device-owner prompt that recovers a forgotten app password.
  static constexpr const char* recoveryReason = "recover access to Quorvel after a forgotten password";

  // A match score as the match-test report shows it: three decimals while finite and below
  // 1000 in magnitude, else an em dash (the sentinel of an engine with nothing enrolled).
  static std::string scoreText(double value);

  // The verdict and report of a match test, for an engine, its spec and whether a face was
  // enrolled for it when the test started.
  struct MatchTestReport {
    std::string verdict;
    std::string report;
  };
  static MatchTestReport matchTestReport(const UnlockCoordinator::TestResult& result,
                                         RecognitionEngine engine, const FaceEngineSpec& spec,
                                         bool enrolled);

  // Reads whether the application opens at login from the login-item service, once.
  MenuBarController();
  virtual ~MenuBarController() = default;
  MenuBarController(const MenuBarController&) = delete;
  MenuBarController& operator=(const MenuBarController&) = delete;

  // The ready line of the panel's header.
  static constexpr const char* readyText = "Ready, your face will unlock this Mac";
  // Seconds between the preview's scan and its success animation.
  static constexpr double previewSuccessDelay = 1.8;

  // Creates the status item, sets its icon and closes the panel on clicks elsewhere.
  void install();
  // Closes the panel when it is shown, otherwise opens it with what holds now.
  void togglePanel();
  // The popover's close notification.
  void popoverDidClose(platform::ui::Popover& popover);

  const std::shared_ptr<platform::ui::StatusItem>& statusItem() const { return statusItem_; }
  const std::shared_ptr<platform::ui::Popover>& popover() const { return popover_; }
  const std::shared_ptr<platform::windows::HostingView>& hosting() const { return hosting_; }
  // The panel view the hosting view shows now, if any.
  std::shared_ptr<MenuPanelView> panelView() const;

  // What the panel shows, read from the live services now.
  MenuPanelState currentState() const;
  // The panel's callbacks; each holds this controller weakly.
  MenuPanelActions currentActions();

  void toggleEnabled();
  void toggleAnimation();
  void togglePalmToCancel();
  void toggleAuthorizationAssist();
  void showTutorial();
  void toggleDockIcon();
  // Registers or unregisters opening at login; a refusal is shown with the platform's text.
  void toggleLoginItem();
  void checkForUpdates();
  void grantAccessibility();
  void previewAnimation();
  // The engine list's callback: the selectable engine with this display name, if any.
  void chooseEngineNamed(const std::string& name);

  // The panel's actions that change what is stored; each asks for the app password first
  // when its data is already there.
  void showEnrolment();
  void setPassword();
  void setQuorvelPassword();
  void forgetFace();
  // Starts a match test; the report is shown when it ends.
  void runTest();
  void quit();
  // Switches the recognition engine (the panel's developer-build engine rows).
  void chooseEngine(const std::string& rawValue);

  // The dialogs.
  using GuardedAction = std::function<void()>;
  void requireQuorvelPassword(GuardedAction action);
  void recoverWithDeviceAuth(GuardedAction action);
  void promptNewQuorvelPassword(GuardedAction then = nullptr);
  void presentPasswordDialog();
  void confirmForgetFace();
  void showMatchTestReport(const UnlockCoordinator::TestResult& result, RecognitionEngine engine,
                           const FaceEngineSpec& spec, bool enrolled);

  // Sets the status button's icon: "faceid" when face unlock can run, a warning otherwise.
  virtual void refreshIcon();
  // How many times the icon was brought up to date.
  int iconRefreshes() const { return iconRefreshes_; }

 private:
  // `action` wrapped so it holds this controller weakly and does nothing once it is gone.
  GuardedAction guarded(void (MenuBarController::*member)());

  void openPanel();
  // Replaces the hosting view's root with a fresh panel; the open panel changes in place.
  void rerender();
  std::shared_ptr<MenuPanelView> makePanel();

  std::shared_ptr<platform::ui::StatusItem> statusItem_;
  std::shared_ptr<platform::ui::Popover> popover_;
  std::shared_ptr<platform::windows::HostingView> hosting_;
  int iconRefreshes_ = 0;
  // Whether the application opens at login: the service's status at creation, afterwards
  // changed only by a successful toggle.
  bool loginItemEnabled_ = false;
};

}  // namespace quorvel
