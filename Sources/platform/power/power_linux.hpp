// Power-management assertions on Linux.
#pragma once

#include <mutex>
#include <set>

#include "platform/power/power.hpp"

namespace platform::power {

// Linux: a display assertion at level on lights the display through the desktop of the
// genuine lock screen (its own call, platform/logind/login_session.hpp); nothing is held, so
// the assertion made for it is released at once. Without a lock screen, and for every other
// kind of assertion, the request is unsupported.
class LinuxPowerManagement : public PowerManagement {
 public:
  IOReturn createAssertionWithName(const std::string& type, std::uint32_t level, const std::string& name,
                                   AssertionID* assertion) override;
  IOReturn releaseAssertion(AssertionID assertion) override;

 private:
  std::mutex mutex_;
  AssertionID next_ = 1;
  std::set<AssertionID> held_;
};

}  // namespace platform::power
