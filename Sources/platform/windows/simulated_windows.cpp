#include "platform/windows/simulated_windows.hpp"

namespace platform::windows {

std::int64_t SimulatedWindowSystem::windowCreated(Panel& panel) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::int64_t number = next_++;
  panels_[number] = &panel;
  events_.push_back("create " + std::to_string(number));
  return number;
}

void SimulatedWindowSystem::windowDestroyed(std::int64_t number) {
  std::lock_guard<std::mutex> lock(mutex_);
  panels_.erase(number);
  events_.push_back("destroy " + std::to_string(number));
}

void SimulatedWindowSystem::orderedFront(Panel& panel) {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.push_back("front " + std::to_string(panel.windowNumber()));
}

void SimulatedWindowSystem::frameChanged(Panel& panel, bool display) {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.push_back("frame " + std::to_string(panel.windowNumber()) + " " +
                    stringFromRect(panel.frame()) + " display=" + (display ? "true" : "false"));
}

void SimulatedWindowSystem::alphaChanged(Panel& panel) {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.push_back("alpha " + std::to_string(panel.windowNumber()) + " " +
                    shortest(panel.alphaValue()));
}

Panel* SimulatedWindowSystem::panel(std::int64_t number) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = panels_.find(number);
  return it == panels_.end() ? nullptr : it->second;
}

std::vector<std::int64_t> SimulatedWindowSystem::windowNumbers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::int64_t> numbers;
  for (const auto& [number, panel] : panels_) numbers.push_back(number);
  return numbers;
}

std::vector<std::string> SimulatedWindowSystem::events() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

void SimulatedWindowSystem::clearEvents() {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.clear();
}

}  // namespace platform::windows
