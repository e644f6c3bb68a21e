// The linux user defaults: the persistent domain in a JSON file under the user's
// configuration folder.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "platform/defaults/defaults.hpp"

namespace platform::defaults {

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

}  // namespace platform::defaults
