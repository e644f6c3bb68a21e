#include "platform/workspace/applications_linux.hpp"

#include <unistd.h>

#include <string>
#include <vector>

#include "platform/logind/login_session.hpp"
#include "platform/processes/processes_linux.hpp"

namespace platform::workspace {

namespace {

class LinuxRunningApplication : public RunningApplication {
 public:
  LinuxRunningApplication(std::int32_t pid, unsigned long long ticks, std::optional<std::string> path,
                          std::optional<std::string> bundleIdentifier)
      : pid_(pid), ticks_(ticks), path_(std::move(path)), bundleIdentifier_(std::move(bundleIdentifier)) {}
  std::int32_t processIdentifier() const override { return pid_; }
  std::optional<std::string> bundleIdentifier() const override { return bundleIdentifier_; }
  std::optional<std::string> executablePath() const override { return path_; }
  // Ended once the identifier is gone or names a process started at another time.
  bool isTerminated() const override {
    auto now = processes::linuxStartTicks(pid_);
    return !now || *now != ticks_;
  }

 private:
  std::int32_t pid_;
  unsigned long long ticks_;
  std::optional<std::string> path_;
  std::optional<std::string> bundleIdentifier_;
};

}  // namespace

std::shared_ptr<RunningApplication> LinuxRunningApplications::runningApplication(std::int32_t pid) {
  if (pid < 1) return nullptr;
  auto ticks = processes::linuxStartTicks(pid);
  if (!ticks) return nullptr;
  const auto lockScreen = logind::LoginSession::shared()->lockScreen();
  if (lockScreen && lockScreen->genuine && lockScreen->pid == pid) {
    return std::make_shared<LinuxRunningApplication>(pid, *ticks, kLoginWindowPath, kLoginWindowBundleIdentifier);
  }
  std::optional<std::string> path;
  std::vector<char> buffer(4096);
  const std::string link = "/proc/" + std::to_string(pid) + "/exe";
  const ssize_t length = ::readlink(link.c_str(), buffer.data(), buffer.size() - 1);
  if (length > 0) path = std::string(buffer.data(), static_cast<std::size_t>(length));
  return std::make_shared<LinuxRunningApplication>(pid, *ticks, std::move(path), std::nullopt);
}

std::shared_ptr<RunningApplication> LinuxRunningApplications::frontmostApplication() {
  const auto lockScreen = logind::LoginSession::shared()->lockScreen();
  if (!lockScreen) return nullptr;
  return runningApplication(lockScreen->pid);
}

}  // namespace platform::workspace
