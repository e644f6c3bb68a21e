// The user-defaults stand-in: a registration domain kept in memory and a persistent domain.
// A key set in the persistent domain wins over its registered value; removing it brings the
// registered value back. Safe to use from any thread.
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

// Persistent domain in a JSON file. Every change is written through at once (under an
// advisory lock, to a temporary file renamed into place), and reads notice a file changed by
// another process.
class FileUserDefaults : public UserDefaults {
 public:
  explicit FileUserDefaults(std::string path);
  std::optional<Value> persistentObject(const std::string& key) const override;
  void set(const std::string& key, const Value& value) override;
  void remove(const std::string& key) override;
  const std::string& path() const { return path_; }

 private:
  struct Stamp {
    bool exists = false;
    std::int64_t inode = 0, size = 0, modified = 0, changed = 0;
    bool operator==(const Stamp&) const = default;
  };
  Stamp stampOfFile() const;
  void refreshLocked() const;
  bool change(const std::string& key, const std::optional<Value>& value);

  std::string path_;
  mutable std::mutex mutex_;
  mutable std::map<std::string, Value> values_;
  mutable Stamp loaded_{};
  mutable bool everLoaded_ = false;
};

// The values of a defaults file's text (an empty text is an empty domain; values of other
// kinds than Booleans, numbers and strings are left out); false when it is not a JSON object.
bool decodeFile(const std::string& text, std::map<std::string, Value>& values);

// "$XDG_CONFIG_HOME/com.tessmin.quorvel/defaults.json".
std::string standardFilePath();

// The standard user-defaults object of the process: installed, else a FileUserDefaults at
// the standard path.
std::shared_ptr<UserDefaults> standard();
void installStandard(std::shared_ptr<UserDefaults> defaults);

}  // namespace platform::defaults
