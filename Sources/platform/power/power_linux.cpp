#include "platform/power/power_linux.hpp"

#include "platform/logind/login_session.hpp"

namespace platform::power {

IOReturn LinuxPowerManagement::createAssertionWithName(const std::string& type, std::uint32_t level,
                                                       const std::string&, AssertionID* assertion) {
  if (!assertion) return kIOReturnBadArgument;
  if (type != kAssertionTypeNoDisplaySleep || level != kAssertionLevelOn) return kIOReturnUnsupported;
  if (!logind::LoginSession::shared()->simulateUserActivity()) return kIOReturnUnsupported;
  std::lock_guard<std::mutex> lock(mutex_);
  *assertion = next_++;
  held_.insert(*assertion);
  return kIOReturnSuccess;
}

IOReturn LinuxPowerManagement::releaseAssertion(AssertionID assertion) {
  std::lock_guard<std::mutex> lock(mutex_);
  return held_.erase(assertion) > 0 ? kIOReturnSuccess : kIOReturnNotFound;
}

}  // namespace platform::power
