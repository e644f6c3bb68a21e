// The simulated window system of the tests' machine.
#pragma once

#include <map>
#include <mutex>

#include "platform/windows/windows.hpp"

namespace platform::windows {

// Records what happens to windows; a test finds live panels by number.
class SimulatedWindowSystem : public WindowSystem {
 public:
  std::int64_t windowCreated(Panel& panel) override;
  void windowDestroyed(std::int64_t number) override;
  void orderedFront(Panel& panel) override;
  void frameChanged(Panel& panel, bool display) override;
  void alphaChanged(Panel& panel) override;

  // Panel by number while it exists.
  Panel* panel(std::int64_t number) const;
  std::vector<std::int64_t> windowNumbers() const;
  // "create 1", "front 1", "frame 1 {{x, y}, {w, h}} display=true", "alpha 1 0.5", ...
  std::vector<std::string> events() const;
  void clearEvents();

 private:
  mutable std::mutex mutex_;
  std::int64_t next_ = 101;
  std::map<std::int64_t, Panel*> panels_;
  std::vector<std::string> events_;
};

}  // namespace platform::windows
