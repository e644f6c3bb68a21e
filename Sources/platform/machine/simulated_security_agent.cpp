#include "platform/machine/simulated_security_agent.hpp"

namespace platform::machine {

namespace ax = platform::accessibility;

SimulatedLockMachine::ProcessSpec SimulatedSecurityAgent::agentSpec() {
  SimulatedLockMachine::ProcessSpec spec;
  spec.bundleIdentifier = "com.apple.SecurityAgent";
  spec.executablePath = kAgentPath;
  spec.uid = SimulatedLockMachine::kUserID;
  spec.signature = platform::codesign::Signature{true, true, true, true, "com.apple.SecurityAgent"};
  return spec;
}

SimulatedLockMachine::ProcessSpec SimulatedSecurityAgent::impostorSpec() {
  SimulatedLockMachine::ProcessSpec spec;
  spec.bundleIdentifier = "com.apple.SecurityAgent";
  spec.executablePath = "/Users/Shared/SecurityAgent.app/Contents/MacOS/SecurityAgent";
  spec.uid = SimulatedLockMachine::kUserID;
  spec.signature = platform::codesign::Signature{true, true, false, true, "com.apple.SecurityAgent"};
  return spec;
}

SimulatedSecurityAgent::SimulatedSecurityAgent(SimulatedLockMachine& machine, SimulatedLockMachine::ProcessSpec spec)
    : machine_(machine) {
  pid_ = machine_.launch(spec);
  ui().addApplication(pid_);
  publishWindows();
}

SimulatedSecurityAgent::~SimulatedSecurityAgent() { quit(); }

ax::SimulatedUserInterface& SimulatedSecurityAgent::ui() const { return machine_.accessibility().ui(); }

SimulatedSecurityAgent::Element SimulatedSecurityAgent::applicationElement() const {
  return ax::SimulatedUserInterface::applicationElement(pid_);
}

void SimulatedSecurityAgent::setResponseDelay(double seconds) { ui().setResponseDelay(pid_, seconds); }

SimulatedSecurityAgent::Dialog& SimulatedSecurityAgent::showDialog() { return showDialog(DialogSpec{}); }

SimulatedSecurityAgent::Dialog& SimulatedSecurityAgent::showDialog(const DialogSpec& spec) {
  auto dialog = std::make_unique<Dialog>();
  dialog->spec = spec;
  auto& ui = this->ui();
  dialog->window = ui.makeElement(pid_, {{"AXRole", std::string("AXWindow")}, {"AXSubrole", std::string("AXDialog")}});
  ax::ElementList windowChildren;
  for (int i = 0; i < spec.fillerBefore; ++i) {
    windowChildren.push_back(ui.makeElement(pid_, {{"AXRole", std::string("AXStaticText")},
                                                   {"AXValue", std::string("line " + std::to_string(i))}}));
  }
  if (spec.nesting == 0) {
    dialog->content = dialog->window;
  } else {
    // Each group holds the next; the innermost holds the controls.
    Element outer = dialog->window;
    for (int level = 0; level < spec.nesting; ++level) {
      const Element group = ui.makeElement(pid_, {{"AXRole", std::string("AXGroup")}});
      if (outer == dialog->window) {
        windowChildren.push_back(group);
      } else {
        ui.setAttribute(outer, "AXChildren", ax::ElementList{group});
      }
      outer = group;
    }
    dialog->content = outer;
  }
  ui.setAttribute(dialog->window, "AXChildren", windowChildren);
  dialog->cancelButton = ui.makeElement(pid_, {{"AXRole", std::string("AXButton")}, {"AXTitle", std::string("Cancel")},
                                               {"AXEnabled", true}});
  Dialog* raw = dialog.get();
  ui.setAction(dialog->cancelButton, "AXPress", [this, raw] {
    close(*raw);
    return ax::AXError::success;
  });
  dialog->passwordMode = !spec.offersTouchID;
  dialogs_.push_back(std::move(dialog));
  placeControls(*raw);
  publishWindows();
  return *raw;
}

void SimulatedSecurityAgent::placeControls(Dialog& dialog) {
  auto& ui = this->ui();
  const Element prompt = ui.makeElement(
      pid_, {{"AXRole", std::string("AXStaticText")},
             {"AXValue", std::string(dialog.passwordMode ? "Enter your password to allow this."
                                                         : "Touch ID or enter your password to allow this.")}});
  ax::ElementList children{prompt};
  Dialog* raw = &dialog;
  if (!dialog.passwordMode) {
    dialog.fallbackButton = ui.makeElement(
        pid_, {{"AXRole", std::string("AXButton")}, {"AXTitle", dialog.spec.fallbackTitle}, {"AXEnabled", true}});
    ui.setAction(*dialog.fallbackButton, "AXPress", [this, raw] {
      switchToPassword(*raw);
      return ax::AXError::success;
    });
    children.push_back(*dialog.fallbackButton);
    children.push_back(dialog.cancelButton);
  } else {
    if (dialog.spec.accountName) {
      dialog.nameField = ui.makeElement(pid_, {{"AXRole", std::string("AXTextField")},
                                               {"AXValue", *dialog.spec.accountName}});
      ui.setSettable(*dialog.nameField, "AXValue", true);
      children.push_back(*dialog.nameField);
    }
    dialog.secureField = ui.makeElement(pid_, {{"AXRole", std::string("AXTextField")},
                                               {"AXSubrole", std::string("AXSecureTextField")},
                                               {"AXValue", std::string()}});
    ui.setSettable(*dialog.secureField, "AXValue", dialog.spec.valueSettable, [raw](const ax::AttributeValue& value) {
      const auto* text = std::get_if<std::string>(&value);
      raw->typed = text ? *text : std::string();
    });
    children.push_back(*dialog.secureField);
    children.push_back(dialog.cancelButton);
    dialog.confirmButton = ui.makeElement(pid_, {{"AXRole", std::string("AXButton")},
                                                 {"AXTitle", dialog.spec.confirmTitle},
                                                 {"AXEnabled", dialog.spec.confirmEnabled}});
    ui.setAction(*dialog.confirmButton, "AXPress", [this, raw] {
      confirm(*raw);
      return ax::AXError::success;
    });
    children.push_back(*dialog.confirmButton);
    ui.setAttribute(applicationElement(), "AXFocusedUIElement", *dialog.secureField);
  }
  ui.setAttribute(dialog.content, "AXChildren", children);
}

void SimulatedSecurityAgent::switchToPassword(Dialog& dialog) {
  if (dialog.closed || dialog.passwordMode) return;
  dialog.passwordMode = true;
  ui().removeAction(*dialog.fallbackButton, "AXPress");
  dialog.fallbackButton.reset();
  placeControls(dialog);
}

void SimulatedSecurityAgent::confirm(Dialog& dialog) {
  if (dialog.closed) return;
  if (dialog.typed == kUserPassword) {
    ++approvals_;
    close(dialog);
    return;
  }
  ++rejections_;
  dialog.typed.clear();
  ui().setAttribute(*dialog.secureField, "AXValue", std::string());
}

void SimulatedSecurityAgent::close(Dialog& dialog) {
  if (dialog.closed) return;
  dialog.closed = true;
  const auto focused = ui().storedAttribute(applicationElement(), "AXFocusedUIElement");
  if (focused && dialog.secureField && *focused == ax::AttributeValue(*dialog.secureField)) {
    ui().removeAttribute(applicationElement(), "AXFocusedUIElement");
  }
  publishWindows();
}

void SimulatedSecurityAgent::publishWindows() {
  if (!running_) return;
  ax::ElementList windows;
  for (const auto& dialog : dialogs_) {
    if (!dialog->closed) windows.push_back(dialog->window);
  }
  ui().setAttribute(applicationElement(), "AXWindows", windows);
}

void SimulatedSecurityAgent::quit() {
  if (!running_) return;
  running_ = false;
  ui().removeApplication(pid_);
  machine_.terminate(pid_);
}

}  // namespace platform::machine
