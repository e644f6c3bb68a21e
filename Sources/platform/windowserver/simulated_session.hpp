// The simulated login session of the tests' machine.
#pragma once

#include <mutex>

#include "platform/windowserver/session.hpp"

namespace platform::windowserver {

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

}  // namespace platform::windowserver
