// Modal alerts: a message, an informative text, buttons in order (the first is the default)
// and optionally a secure text field as the accessory, made the window's initial first
// responder so typing goes straight into it. The run waits until the user answers.
//
// `alerts()` obtains the installed presenter, else the linux one (alert_linux.hpp). Tests
// install a `SimulatedAlerts` (simulated_alert.hpp), which records every alert and answers
// from a script.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace platform::ui {

// Which button ended the modal run.
enum class AlertResponse { firstButton, secondButton, thirdButton };

struct SecureFieldAccessory {
  double x = 0, y = 0, width = 240, height = 24;
  bool initialFirstResponder = true;
  friend bool operator==(const SecureFieldAccessory&, const SecureFieldAccessory&) = default;
};

struct Alert {
  std::string messageText;
  std::string informativeText;
  std::vector<std::string> buttons;
  std::optional<SecureFieldAccessory> secureField;
};

struct AlertAnswer {
  AlertResponse response = AlertResponse::firstButton;
  // What the secure field holds when the run ends (empty without a field).
  std::string text;
};

class AlertPresenter {
 public:
  virtual ~AlertPresenter() = default;
  virtual AlertAnswer runModal(const Alert& alert) = 0;
};

std::shared_ptr<AlertPresenter> alerts();
void installAlerts(std::shared_ptr<AlertPresenter> presenter);

// The response of the button at `index` (0-based; the third for every later one).
AlertResponse responseAt(std::size_t index);
// How an alert is answered when nobody answers it: with its last button (the way out) and
// an empty field.
AlertAnswer dismissed(const Alert& alert);

}  // namespace platform::ui
