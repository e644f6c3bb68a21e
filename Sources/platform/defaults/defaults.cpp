#include "platform/defaults/defaults.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "platform/defaults/defaults_linux.hpp"

namespace platform::defaults {

// --- typed access --------------------------------------------------------------------------

void UserDefaults::registerDefaults(const std::map<std::string, Value>& values) {
  std::lock_guard<std::mutex> lock(registrationMutex_);
  for (const auto& [key, value] : values) registered_[key] = value;
}

std::optional<Value> UserDefaults::object(const std::string& key) const {
  if (auto stored = persistentObject(key)) return stored;
  std::lock_guard<std::mutex> lock(registrationMutex_);
  auto found = registered_.find(key);
  if (found == registered_.end()) return std::nullopt;
  return found->second;
}

bool UserDefaults::boolForKey(const std::string& key) const {
  const auto value = object(key);
  if (!value) return false;
  if (const auto* b = std::get_if<bool>(&*value)) return *b;
  if (const auto* i = std::get_if<std::int64_t>(&*value)) return *i != 0;
  if (const auto* d = std::get_if<double>(&*value)) return *d != 0;
  std::string text = std::get<std::string>(*value);
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (text == "yes" || text == "true") return true;
  // Other strings read through their leading integer, as the platform does ("1", "2x").
  return std::atoll(text.c_str()) != 0;
}

std::optional<std::string> UserDefaults::stringForKey(const std::string& key) const {
  const auto value = object(key);
  if (!value) return std::nullopt;
  if (const auto* s = std::get_if<std::string>(&*value)) return *s;
  if (const auto* i = std::get_if<std::int64_t>(&*value)) return std::to_string(*i);
  if (const auto* d = std::get_if<double>(&*value)) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.17g", *d);
    return std::string(buffer);
  }
  return std::get<bool>(*value) ? std::string("1") : std::string("0");
}

namespace {
std::mutex gStandardMutex;
// Never destroyed: the settings are read until the process ends, also from queues' threads.
std::shared_ptr<UserDefaults>& installedStandard() {
  static auto* defaults = new std::shared_ptr<UserDefaults>();
  return *defaults;
}
}  // namespace

std::shared_ptr<UserDefaults> standard() {
  std::lock_guard<std::mutex> lock(gStandardMutex);
  auto& defaults = installedStandard();
  if (!defaults) defaults = std::make_shared<FileUserDefaults>(standardFilePath());
  return defaults;
}

void installStandard(std::shared_ptr<UserDefaults> defaults) {
  std::lock_guard<std::mutex> lock(gStandardMutex);
  installedStandard() = std::move(defaults);
}

}  // namespace platform::defaults
