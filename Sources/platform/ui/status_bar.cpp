#include "platform/ui/status_bar.hpp"

#include <mutex>
#include <utility>

#include "platform/ui/status_bar_linux.hpp"

namespace platform::ui {

namespace {

std::mutex& barMutex() {
  static std::mutex mutex;
  return mutex;
}

// Never destroyed: the status item it made lives until the process ends.
std::shared_ptr<StatusBar>& installedBar() {
  static auto* bar = new std::shared_ptr<StatusBar>();
  return *bar;
}

}  // namespace

std::shared_ptr<StatusBar> statusBar() {
  std::lock_guard lock(barMutex());
  if (!installedBar()) installedBar() = makeLinuxStatusBar();
  return installedBar();
}

void installStatusBar(std::shared_ptr<StatusBar> bar) {
  std::lock_guard lock(barMutex());
  installedBar() = std::move(bar);
}

}  // namespace platform::ui
