#include "platform/workspace/simulated_applications.hpp"

namespace platform::workspace {

SimulatedRunningApplication::SimulatedRunningApplication(std::int32_t pid,
                                                         std::optional<std::string> bundleIdentifier,
                                                         std::optional<std::string> executablePath)
    : pid_(pid), bundleIdentifier_(std::move(bundleIdentifier)), executablePath_(std::move(executablePath)) {}

std::optional<std::string> SimulatedRunningApplication::bundleIdentifier() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return bundleIdentifier_;
}

std::optional<std::string> SimulatedRunningApplication::executablePath() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return executablePath_;
}

bool SimulatedRunningApplication::isTerminated() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return terminated_;
}

void SimulatedRunningApplication::terminate() {
  std::lock_guard<std::mutex> lock(mutex_);
  terminated_ = true;
}

std::shared_ptr<RunningApplication> SimulatedRunningApplications::runningApplication(std::int32_t pid) {
  return find(pid);
}

std::shared_ptr<RunningApplication> SimulatedRunningApplications::frontmostApplication() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!frontmost_) return nullptr;
  auto found = applications_.find(*frontmost_);
  return found == applications_.end() ? nullptr : found->second;
}

void SimulatedRunningApplications::add(std::shared_ptr<SimulatedRunningApplication> application) {
  std::lock_guard<std::mutex> lock(mutex_);
  applications_[application->processIdentifier()] = std::move(application);
}

void SimulatedRunningApplications::remove(std::int32_t pid) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = applications_.find(pid);
  if (found == applications_.end()) return;
  found->second->terminate();
  applications_.erase(found);
}

void SimulatedRunningApplications::setFrontmost(std::optional<std::int32_t> pid) {
  std::lock_guard<std::mutex> lock(mutex_);
  frontmost_ = pid;
}

std::shared_ptr<SimulatedRunningApplication> SimulatedRunningApplications::find(std::int32_t pid) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = applications_.find(pid);
  return found == applications_.end() ? nullptr : found->second;
}

}  // namespace platform::workspace
