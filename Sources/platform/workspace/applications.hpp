// Running applications: the record of an application process by its identifier (bundle
// identifier, executable path, whether it has terminated) and the frontmost application.
// A record stays tied to the process it was made for: once that process ends, the record
// reports it terminated, even if another process later gets the same identifier.
#pragma once

#include <cstdint>
#include <memory>
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

inline constexpr const char* kLoginWindowBundleIdentifier = "com.apple.loginwindow";
inline constexpr const char* kLoginWindowPath = "/System/Library/CoreServices/loginwindow.app/Contents/MacOS/loginwindow";

std::shared_ptr<RunningApplications> runningApplications();
void installRunningApplications(std::shared_ptr<RunningApplications> applications);

}  // namespace platform::workspace
