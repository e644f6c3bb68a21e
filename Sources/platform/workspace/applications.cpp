#include "platform/workspace/applications.hpp"

#include <mutex>

#include "platform/workspace/applications_linux.hpp"

namespace platform::workspace {

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
