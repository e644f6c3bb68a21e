// Modal alerts: a message, an informative text, buttons in order (the first is the default)
// and optionally a secure text field as the accessory, made the window's initial first
// responder so typing goes straight into it. The run waits until the user answers.
//
// `alerts()` obtains the installed presenter, else the linux one. Tests install a
// `SimulatedAlerts`, which records every alert and answers from a script.
#pragma once

#include <deque>
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

// Records every alert and answers with the scripted presses in order. An alert with no
// scripted press is answered with its last button (the way out) and counted as unscripted.
class SimulatedAlerts : public AlertPresenter {
 public:
  AlertAnswer runModal(const Alert& alert) override;

  // The next alert is answered with the button at `index` (0-based), `text` typed first.
  void press(int index, std::string text = "");
  std::vector<Alert> shown() const;
  std::vector<std::string> messages() const;
  int unscripted() const;
  std::size_t pendingPresses() const;
  void reset();

 private:
  mutable std::mutex mutex_;
  std::deque<AlertAnswer> script_;
  std::vector<Alert> shown_;
  int unscripted_ = 0;
};

// Linux: a modal dialog of Qt widgets with a non-echoing password field as the secure field.
// Without a display the alert is written to the log and answered as a dismissed alert is,
// with its last button and an empty field.
std::shared_ptr<AlertPresenter> makeLinuxAlerts();

}  // namespace platform::ui
