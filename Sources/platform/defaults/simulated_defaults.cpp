#include "platform/defaults/simulated_defaults.hpp"

namespace platform::defaults {

std::optional<Value> MemoryUserDefaults::persistentObject(const std::string& key) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = values_.find(key);
  if (found == values_.end()) return std::nullopt;
  return found->second;
}

void MemoryUserDefaults::set(const std::string& key, const Value& value) {
  std::lock_guard<std::mutex> lock(mutex_);
  values_[key] = value;
}

void MemoryUserDefaults::remove(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  values_.erase(key);
}

}  // namespace platform::defaults
