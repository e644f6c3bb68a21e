// Power-management assertions: a named assertion of a type at a level keeps the machine (or
// its display) awake while held. Creating one of the display type also lights the display.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace platform::power {

using IOReturn = std::int32_t;
using AssertionID = std::uint32_t;

inline constexpr IOReturn kIOReturnSuccess = 0;
inline constexpr IOReturn kIOReturnError = static_cast<IOReturn>(0xE00002BC);
inline constexpr IOReturn kIOReturnBadArgument = static_cast<IOReturn>(0xE00002C2);
inline constexpr IOReturn kIOReturnUnsupported = static_cast<IOReturn>(0xE00002C7);
inline constexpr IOReturn kIOReturnNotFound = static_cast<IOReturn>(0xE00002F0);

inline constexpr const char* kAssertionTypeNoDisplaySleep = "NoDisplaySleepAssertion";
inline constexpr std::uint32_t kAssertionLevelOff = 0;
inline constexpr std::uint32_t kAssertionLevelOn = 255;

class PowerManagement {
 public:
  virtual ~PowerManagement() = default;
  // Creates an assertion; on success writes its identifier to `assertion`.
  virtual IOReturn createAssertionWithName(const std::string& type, std::uint32_t level,
                                           const std::string& name, AssertionID* assertion) = 0;
  virtual IOReturn releaseAssertion(AssertionID assertion) = 0;
};

std::shared_ptr<PowerManagement> current();
void install(std::shared_ptr<PowerManagement> power);

}  // namespace platform::power
