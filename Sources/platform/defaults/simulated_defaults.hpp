// The tests' user defaults: the persistent domain in memory.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "platform/defaults/defaults.hpp"

namespace platform::defaults {

// Persistent domain in memory (tests, and the simulated machine).
class MemoryUserDefaults : public UserDefaults {
 public:
  std::optional<Value> persistentObject(const std::string& key) const override;
  void set(const std::string& key, const Value& value) override;
  void remove(const std::string& key) override;

 private:
  mutable std::mutex mutex_;
  std::map<std::string, Value> values_;
};

}  // namespace platform::defaults
