#include "platform/capture/capture.hpp"

#include "platform/capture/capture_linux.hpp"

#include <mutex>

namespace platform::capture {
namespace {

std::mutex installMutex;
std::shared_ptr<CaptureSystem>& installed() {
  static std::shared_ptr<CaptureSystem> system;
  return system;
}

}  // namespace

std::shared_ptr<CaptureSystem> current() {
  std::lock_guard<std::mutex> lock(installMutex);
  auto& system = installed();
  if (!system) system = std::make_shared<LinuxCaptureSystem>();
  return system;
}

void install(std::shared_ptr<CaptureSystem> system) {
  std::lock_guard<std::mutex> lock(installMutex);
  installed() = std::move(system);
}

}  // namespace platform::capture
