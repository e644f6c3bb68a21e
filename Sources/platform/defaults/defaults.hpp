// The user-defaults stand-in: a registration domain kept in memory and a persistent domain.
// A key set in the persistent domain wins over its registered value; removing it brings the
// registered value back. Safe to use from any thread.
//
// The process keeps its persistent domain in a JSON file (defaults_linux.hpp); tests keep it
// in memory (simulated_defaults.hpp).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>

namespace platform::defaults {

using Value = std::variant<bool, std::int64_t, double, std::string>;

class UserDefaults {
 public:
  virtual ~UserDefaults() = default;

  // Registration domain (never persisted).
  void registerDefaults(const std::map<std::string, Value>& values);

  // The value of `key`: the persistent one, else the registered one.
  std::optional<Value> object(const std::string& key) const;
  // The persistent domain alone.
  virtual std::optional<Value> persistentObject(const std::string& key) const = 0;
  virtual void set(const std::string& key, const Value& value) = 0;
  virtual void remove(const std::string& key) = 0;

  // Typed access with the platform's conversions: a missing key reads false / no string;
  // numbers read as Booleans when non-zero; the strings "YES", "true" and "1" (any case for
  // the first two) read as true; numbers read as strings in their shortest form.
  bool boolForKey(const std::string& key) const;
  std::optional<std::string> stringForKey(const std::string& key) const;
  void setBool(const std::string& key, bool value) { set(key, Value(value)); }
  void setString(const std::string& key, const std::string& value) { set(key, Value(value)); }

 private:
  mutable std::mutex registrationMutex_;
  std::map<std::string, Value> registered_;
};

// The standard user-defaults object of the process: installed, else a FileUserDefaults at
// the standard path.
std::shared_ptr<UserDefaults> standard();
void installStandard(std::shared_ptr<UserDefaults> defaults);

}  // namespace platform::defaults
