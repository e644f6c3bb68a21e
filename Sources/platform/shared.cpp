#include "platform/shared.hpp"

#include <vector>

namespace platform {
namespace {
std::mutex& resetMutex() {
  static std::mutex mutex;
  return mutex;
}
std::vector<std::function<void()>>& resets() {
  static std::vector<std::function<void()>> list;
  return list;
}
}  // namespace

void registerSharedReset(std::function<void()> reset) {
  std::lock_guard<std::mutex> lock(resetMutex());
  resets().push_back(std::move(reset));
}

void resetSharedInstances() {
  std::vector<std::function<void()>> copy;
  {
    std::lock_guard<std::mutex> lock(resetMutex());
    copy = resets();
  }
  for (auto& reset : copy) reset();
}

}  // namespace platform
