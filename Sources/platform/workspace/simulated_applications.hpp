// The simulated running applications of the tests' machine.
#pragma once

#include <map>
#include <mutex>

#include "platform/workspace/applications.hpp"

namespace platform::workspace {

// An application record whose fields the tests set; `terminate()` marks it ended.
class SimulatedRunningApplication : public RunningApplication {
 public:
  SimulatedRunningApplication(std::int32_t pid, std::optional<std::string> bundleIdentifier,
                              std::optional<std::string> executablePath);
  std::int32_t processIdentifier() const override { return pid_; }
  std::optional<std::string> bundleIdentifier() const override;
  std::optional<std::string> executablePath() const override;
  bool isTerminated() const override;
  void terminate();

 private:
  const std::int32_t pid_;
  mutable std::mutex mutex_;
  std::optional<std::string> bundleIdentifier_;
  std::optional<std::string> executablePath_;
  bool terminated_ = false;
};

class SimulatedRunningApplications : public RunningApplications {
 public:
  std::shared_ptr<RunningApplication> runningApplication(std::int32_t pid) override;
  std::shared_ptr<RunningApplication> frontmostApplication() override;

  // Adds (or replaces) the record of its process identifier.
  void add(std::shared_ptr<SimulatedRunningApplication> application);
  // Marks the record terminated and forgets it.
  void remove(std::int32_t pid);
  void setFrontmost(std::optional<std::int32_t> pid);
  std::shared_ptr<SimulatedRunningApplication> find(std::int32_t pid) const;

 private:
  mutable std::mutex mutex_;
  std::map<std::int32_t, std::shared_ptr<SimulatedRunningApplication>> applications_;
  std::optional<std::int32_t> frontmost_;
};

}  // namespace platform::workspace
