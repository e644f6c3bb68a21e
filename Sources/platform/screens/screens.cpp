#include "platform/screens/screens.hpp"

#include <mutex>

#include "platform/screens/screens_linux.hpp"

namespace platform::screens {
namespace {

std::mutex& installMutex() {
  static std::mutex mutex;
  return mutex;
}
// Never destroyed: services that live until the process ends stop watching the screens in
// their destructors.
std::shared_ptr<Screens>& installed() {
  static auto* screens = new std::shared_ptr<Screens>();
  return *screens;
}

}  // namespace

std::optional<std::uint32_t> Screen::displayID() const {
  const auto it = deviceDescription.find(kScreenNumberKey);
  if (it == deviceDescription.end()) return std::nullopt;
  if (const auto* number = std::get_if<std::uint32_t>(&it->second)) return *number;
  return std::nullopt;
}

std::shared_ptr<Screens> current() {
  std::lock_guard<std::mutex> lock(installMutex());
  if (!installed()) installed() = makeLinuxScreens();
  return installed();
}

void install(std::shared_ptr<Screens> screens) {
  std::lock_guard<std::mutex> lock(installMutex());
  installed() = std::move(screens);
}

}  // namespace platform::screens
