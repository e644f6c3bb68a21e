#include "platform/power/power.hpp"

#include <mutex>

#include "platform/power/power_linux.hpp"

namespace platform::power {

namespace {
std::mutex installedMutex;
std::shared_ptr<PowerManagement>& installed() {
  static std::shared_ptr<PowerManagement> power;
  return power;
}
}  // namespace

std::shared_ptr<PowerManagement> current() {
  std::lock_guard<std::mutex> lock(installedMutex);
  if (!installed()) installed() = std::make_shared<LinuxPowerManagement>();
  return installed();
}

void install(std::shared_ptr<PowerManagement> power) {
  std::lock_guard<std::mutex> lock(installedMutex);
  installed() = std::move(power);
}

}  // namespace platform::power
