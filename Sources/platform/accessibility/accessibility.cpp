#include "platform/accessibility/accessibility.hpp"

#include <mutex>

#include "platform/accessibility/accessibility_linux.hpp"

namespace platform::accessibility {

namespace {
std::mutex installedMutex;
std::shared_ptr<Accessibility>& installed() {
  static std::shared_ptr<Accessibility> accessibility;
  return accessibility;
}
}  // namespace

std::shared_ptr<Accessibility> current() {
  std::lock_guard<std::mutex> lock(installedMutex);
  if (!installed()) installed() = std::make_shared<LinuxAccessibility>();
  return installed();
}

void install(std::shared_ptr<Accessibility> accessibility) {
  std::lock_guard<std::mutex> lock(installedMutex);
  installed() = std::move(accessibility);
}

}  // namespace platform::accessibility
