// The window server's description of the current login session: a dictionary of text keys
// whose values may be Booleans, numbers or texts. "CGSSessionScreenIsLocked" holds true
// while the session's screen is locked.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
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

// The installed source; a Linux one is created on first use unless one was installed.
std::shared_ptr<SessionSource> sessionSource();
void installSessionSource(std::shared_ptr<SessionSource> source);

}  // namespace platform::windowserver
