// The tests' alerts: recorded, answered from a script.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ui/alert.hpp"

namespace platform::ui {

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

}  // namespace platform::ui
