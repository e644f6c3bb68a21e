// The system's security agent on the simulated lock machine: a process named "SecurityAgent"
// (signed by Apple unless a test makes an impostor) whose dialogs live in the simulated
// Accessibility user interface. A dialog asks for the password of a named user, either at
// once (a name field and a secure password field) or first offering Touch ID with a
// "Use Password…" button that switches it to password entry. Its confirm button approves the
// request when the secure field holds the user's password; otherwise the field is cleared.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/accessibility/simulated_user_interface.hpp"
#include "platform/machine/simulated_lock_machine.hpp"

namespace platform::machine {

class SimulatedSecurityAgent {
 public:
  using Element = platform::accessibility::Element;

  static constexpr const char* kAgentPath =
      "/System/Library/Frameworks/Security.framework/Versions/A/MachServices/SecurityAgent.bundle/"
      "Contents/MacOS/SecurityAgent";
  // The user of the session (platform::users) and their password.
  static constexpr const char* kUserName = "alice";
  static constexpr const char* kFullUserName = "Alice Example";
  static constexpr const char* kUserPassword = "correct horse";

  // The genuine agent: signed by Apple's anchor with the identifier "com.apple.SecurityAgent".
  static SimulatedLockMachine::ProcessSpec agentSpec();
  // A process at a look-alike path, named "SecurityAgent", signed by a developer.
  static SimulatedLockMachine::ProcessSpec impostorSpec();

  struct DialogSpec {
    // What the name field shows; no value for a dialog without one.
    std::optional<std::string> accountName = std::string(kUserName);
    // Touch ID first: "Use Password…" switches to the name and password fields.
    bool offersTouchID = true;
    std::string fallbackTitle = "Use Password\u2026";
    std::string confirmTitle = "OK";
    bool confirmEnabled = true;
    // Groups the fields sit in below the window (0: the window's own children).
    int nesting = 1;
    // Static texts placed before the controls, at the window's level.
    int fillerBefore = 0;
    // Whether the secure field's value may be set.
    bool valueSettable = true;
  };

  // Everything the agent built for one dialog.
  struct Dialog {
    Element window;
    Element content;  // the innermost group holding the controls
    std::optional<Element> fallbackButton;
    std::optional<Element> nameField;
    std::optional<Element> secureField;
    std::optional<Element> confirmButton;
    Element cancelButton;
    std::string typed;       // what the secure field holds
    bool passwordMode = false;
    bool closed = false;
    DialogSpec spec;
  };

  // Launches the agent on the machine (a fresh process identifier).
  explicit SimulatedSecurityAgent(SimulatedLockMachine& machine,
                                  SimulatedLockMachine::ProcessSpec spec = agentSpec());
  ~SimulatedSecurityAgent();
  SimulatedSecurityAgent(const SimulatedSecurityAgent&) = delete;
  SimulatedSecurityAgent& operator=(const SimulatedSecurityAgent&) = delete;

  std::int32_t pid() const { return pid_; }
  Element applicationElement() const;

  // Shows a dialog (the newest dialog takes the focus).
  Dialog& showDialog(const DialogSpec& spec);
  Dialog& showDialog();
  // Closes it: the window leaves the agent's window list.
  void close(Dialog& dialog);
  // The agent ends (its interface goes with it).
  void quit();

  int approvals() const { return approvals_; }
  int rejections() const { return rejections_; }
  // Seconds the agent takes to answer an Accessibility query.
  void setResponseDelay(double seconds);

  platform::accessibility::SimulatedUserInterface& ui() const;

 private:
  void switchToPassword(Dialog& dialog);
  void confirm(Dialog& dialog);
  void publishWindows();
  void placeControls(Dialog& dialog);

  SimulatedLockMachine& machine_;
  std::int32_t pid_ = 0;
  bool running_ = true;
  std::vector<std::unique_ptr<Dialog>> dialogs_;
  int approvals_ = 0;
  int rejections_ = 0;
};

}  // namespace platform::machine
