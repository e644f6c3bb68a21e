// The window server's description of the current login session: a dictionary of text keys
// whose values may be Booleans, numbers or texts. "CGSSessionScreenIsLocked" holds true
// while the session's screen is locked.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>

namespace platform::windowserver {

inline constexpr const char* kSessionScreenIsLockedKey = "CGSSessionScreenIsLocked";

using SessionValue = std::variant<bool, std::int64_t, double, std::string>;
using SessionDictionary = std::map<std::string, SessionValue>;

class SessionSource {
 public:
  virtual ~SessionSource() = default;
  // A copy of the current session's dictionary, or no value when there is no session.
  // Callable from any thread.
  virtual std::optional<SessionDictionary> copyCurrentDictionary() = 0;
};

// A session the tests describe. It starts with a dictionary in which the screen is unlocked.
class SimulatedSessionSource : public SessionSource {
 public:
  std::optional<SessionDictionary> copyCurrentDictionary() override;

  void setDictionary(std::optional<SessionDictionary> dictionary);
  // Sets the lock key to a Boolean (creating a dictionary when there is none).
  void setScreenLocked(bool locked);
  void setValue(const std::string& key, SessionValue value);
  void removeValue(const std::string& key);
  std::size_t copyCount() const;

 private:
  mutable std::mutex mutex_;
  std::optional<SessionDictionary> dictionary_ =
      SessionDictionary{{kSessionScreenIsLockedKey, SessionValue(false)}};
  std::size_t copies_ = 0;
};

// Linux: the dictionary of our login session as logind describes it now
// (platform/logind/login_session.hpp): "CGSSessionScreenIsLocked" is the session's
// `LockedHint`, read live. No dictionary when logind names no session of ours or cannot be
// asked (no bus, no logind, no answer within a fraction of a second).
class LinuxSessionSource : public SessionSource {
 public:
  std::optional<SessionDictionary> copyCurrentDictionary() override;
};

// The installed source; a Linux one is created on first use unless one was installed.
std::shared_ptr<SessionSource> sessionSource();
void installSessionSource(std::shared_ptr<SessionSource> source);

}  // namespace platform::windowserver
