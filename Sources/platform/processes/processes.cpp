#include "platform/processes/processes.hpp"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "platform/processes/processes_linux.hpp"

namespace platform::processes {

int copyName(const std::string& name, char* buffer, std::uint32_t size) {
  if (!buffer || size == 0) return 0;
  const std::size_t length = std::min<std::size_t>(name.size(), size - 1);
  std::memcpy(buffer, name.data(), length);
  buffer[length] = '\0';
  return static_cast<int>(length);
}

namespace {
std::mutex installedMutex;
std::shared_ptr<Processes>& installed() {
  static std::shared_ptr<Processes> processes;
  return processes;
}
}  // namespace

std::shared_ptr<Processes> current() {
  std::lock_guard<std::mutex> lock(installedMutex);
  if (!installed()) installed() = std::make_shared<LinuxProcesses>();
  return installed();
}

void install(std::shared_ptr<Processes> processes) {
  std::lock_guard<std::mutex> lock(installedMutex);
  installed() = std::move(processes);
}

}  // namespace platform::processes
