#include "platform/workspace/applications.hpp"

#include <unistd.h>

#include <string>
#include <vector>

#include "platform/logind/login_session.hpp"
#include "platform/processes/processes.hpp"

namespace platform::workspace {

// --- simulated -----------------------------------------------------------------------------

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

// --- linux ---------------------------------------------------------------------------------

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

namespace {
std::mutex installedMutex;
std::shared_ptr<RunningApplications>& installed() {
  static std::shared_ptr<RunningApplications> applications;
  return applications;
}
}  // namespace

std::shared_ptr<RunningApplications> runningApplications() {
  std::lock_guard<std::mutex> lock(installedMutex);
  if (!installed()) installed() = std::make_shared<LinuxRunningApplications>();
  return installed();
}

void installRunningApplications(std::shared_ptr<RunningApplications> applications) {
  std::lock_guard<std::mutex> lock(installedMutex);
  installed() = std::move(applications);
}

}  // namespace platform::workspace
