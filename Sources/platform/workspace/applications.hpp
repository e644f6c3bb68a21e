// Running applications: the record of an application process by its identifier (bundle
// identifier, executable path, whether it has terminated) and the frontmost application.
// A record stays tied to the process it was made for: once that process ends, the record
// reports it terminated, even if another process later gets the same identifier.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace platform::workspace {

class RunningApplication {
 public:
  virtual ~RunningApplication() = default;
  virtual std::int32_t processIdentifier() const = 0;
  virtual std::optional<std::string> bundleIdentifier() const = 0;
  // The path of the executable's file URL, when known.
  virtual std::optional<std::string> executablePath() const = 0;
  virtual bool isTerminated() const = 0;
};

class RunningApplications {
 public:
  virtual ~RunningApplications() = default;
  // The record of the running application with this identifier, or none.
  virtual std::shared_ptr<RunningApplication> runningApplication(std::int32_t pid) = 0;
  virtual std::shared_ptr<RunningApplication> frontmostApplication() = 0;
};

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

// Linux: any live process has a record (read from /proc, without a bundle identifier).
// While our login session is locked, the frontmost application is the session's lock screen
// (platform/logind/login_session.hpp); otherwise no workspace says which one is in front.
// The genuine lock screen stands for the login window: its record carries the login window's
// bundle identifier and executable path (`kLoginWindowBundleIdentifier`, `kLoginWindowPath`)
// for as long as it is the genuine lock screen of the locked session; any other process,
// a lock screen run from a folder the user can write included, carries its own path.
class LinuxRunningApplications : public RunningApplications {
 public:
  std::shared_ptr<RunningApplication> runningApplication(std::int32_t pid) override;
  std::shared_ptr<RunningApplication> frontmostApplication() override;
};

inline constexpr const char* kLoginWindowBundleIdentifier = "com.apple.loginwindow";
inline constexpr const char* kLoginWindowPath = "/System/Library/CoreServices/loginwindow.app/Contents/MacOS/loginwindow";

std::shared_ptr<RunningApplications> runningApplications();
void installRunningApplications(std::shared_ptr<RunningApplications> applications);

}  // namespace platform::workspace
