// A simulated Mac for the lock-watching and typing roads: a login session whose screen can
// lock and unlock, a process table (running applications, kernel records, code signatures),
// the keyboard focus, Accessibility trust, the display, and a login window process signed by
// Apple that takes key events into its password field and, on Return, unlocks the session
// when the field holds the user's password.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/accessibility/simulated_accessibility.hpp"
#include "platform/codesign/simulated_codesign.hpp"
#include "platform/events/simulated_events.hpp"
#include "platform/notifications/simulated_notifications.hpp"
#include "platform/power/simulated_power.hpp"
#include "platform/processes/simulated_processes.hpp"
#include "platform/windowserver/simulated_session.hpp"
#include "platform/workspace/simulated_applications.hpp"

namespace platform::machine {

class SimulatedLockMachine {
 public:
  static constexpr std::uint32_t kUserID = 501;
  static constexpr std::int32_t kLoginWindowPID = 141;
  static constexpr const char* kLoginWindowPath =
      "/System/Library/CoreServices/loginwindow.app/Contents/MacOS/loginwindow";

  struct ProcessSpec {
    std::optional<std::string> bundleIdentifier;
    std::optional<std::string> executablePath;
    std::uint32_t uid = kUserID;
    platform::codesign::Signature signature;
  };
  // The genuine login window, and a third-party application.
  static ProcessSpec loginWindowSpec();
  static ProcessSpec applicationSpec(const std::string& bundleIdentifier);

  // Starts with the session unlocked, the login window running and a Finder-like
  // application focused.
  SimulatedLockMachine();

  // Installs every simulated part as the process's platform, or puts the defaults back.
  void install();
  void uninstall();

  // --- processes ---
  // Starts a process (a fresh identifier unless one is given) with a new start time.
  std::int32_t launch(const ProcessSpec& spec, std::optional<std::int32_t> pid = std::nullopt);
  void terminate(std::int32_t pid);
  // The process ends and a new one with the same identifier and spec starts at once.
  void restart(std::int32_t pid);
  // Gives the keyboard focus (Accessibility and the frontmost application) to `pid`.
  void focus(std::int32_t pid);
  std::int32_t finderPID() const { return finderPID_; }

  // --- the session ---
  // The screen locks: the lock flag is set, the login window takes the focus and
  // "com.apple.screenIsLocked" is posted.
  void lock();
  // The screen unlocks (the user typed a password): the flag is cleared, the focus goes back
  // to the application, and "com.apple.screenIsUnlocked" is posted when `notify`.
  void unlockByUser(bool notify = true);
  void sleepScreens();
  void wakeScreens();
  bool sessionLocked();

  // --- the login window ---
  void setUserPassword(std::u16string password) { password_ = std::move(password); }
  const std::u16string& loginFieldText() const { return field_; }
  int returnPresses() const { return returnPresses_; }
  int rejectedPasswords() const { return rejected_; }
  int unlocksByLoginWindow() const { return unlocks_; }

  // --- the simulated parts, for scripting faults ---
  platform::notifications::SimulatedNotificationCenter& distributed() { return *distributed_; }
  platform::notifications::SimulatedNotificationCenter& workspaceCenter() { return *workspace_; }
  platform::windowserver::SimulatedSessionSource& session() { return *session_; }
  platform::power::SimulatedPowerManagement& power() { return *power_; }
  platform::accessibility::SimulatedAccessibility& accessibility() { return *accessibility_; }
  platform::workspace::SimulatedRunningApplications& applications() { return *applications_; }
  platform::processes::SimulatedProcesses& processes() { return *processes_; }
  platform::codesign::SimulatedCodeSigning& codeSigning() { return *codeSigning_; }
  platform::events::SimulatedEvents& events() { return *events_; }

 private:
  struct Running {
    ProcessSpec spec;
  };
  void receive(std::int32_t pid, const platform::events::KeyboardEvent& event);

  std::shared_ptr<platform::notifications::SimulatedNotificationCenter> distributed_;
  std::shared_ptr<platform::notifications::SimulatedNotificationCenter> workspace_;
  std::shared_ptr<platform::windowserver::SimulatedSessionSource> session_;
  std::shared_ptr<platform::power::SimulatedPowerManagement> power_;
  std::shared_ptr<platform::accessibility::SimulatedAccessibility> accessibility_;
  std::shared_ptr<platform::workspace::SimulatedRunningApplications> applications_;
  std::shared_ptr<platform::processes::SimulatedProcesses> processes_;
  std::shared_ptr<platform::codesign::SimulatedCodeSigning> codeSigning_;
  std::shared_ptr<platform::events::SimulatedEvents> events_;

  std::map<std::int32_t, Running> running_;
  std::int32_t nextPID_ = 400;
  std::uint64_t clockSeconds_ = 1'780'000'000;  // start times handed out, always increasing
  std::uint64_t clockMicroseconds_ = 250'000;
  std::int32_t finderPID_ = 0;
  std::int32_t focusBeforeLock_ = 0;

  std::u16string password_;
  std::u16string field_;
  int returnPresses_ = 0;
  int rejected_ = 0;
  int unlocks_ = 0;
};

}  // namespace platform::machine
