// Power-management assertions: a named assertion of a type at a level keeps the machine (or
// its display) awake while held. Creating one of the display type also lights the display.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

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

// Records every assertion; can be told to refuse them. A display assertion at level on
// wakes the simulated display.
class SimulatedPowerManagement : public PowerManagement {
 public:
  struct Created {
    std::string type;
    std::uint32_t level;
    std::string name;
    AssertionID assertion;
  };

  IOReturn createAssertionWithName(const std::string& type, std::uint32_t level,
                                   const std::string& name, AssertionID* assertion) override;
  IOReturn releaseAssertion(AssertionID assertion) override;

  // The result of later creations (success unless set).
  void setCreateResult(IOReturn result);
  std::vector<Created> created() const;
  std::size_t releaseCount() const;
  // Assertions created and not yet released.
  std::size_t heldCount() const;
  bool displayAsleep() const;
  void setDisplayAsleep(bool asleep);

 private:
  mutable std::mutex mutex_;
  IOReturn createResult_ = kIOReturnSuccess;
  AssertionID next_ = 100;
  std::vector<Created> created_;
  std::set<AssertionID> held_;
  std::size_t releases_ = 0;
  bool displayAsleep_ = false;
};

// Linux: a display assertion at level on lights the display through the desktop's
// screen-saver service (`SimulateUserActivity`, platform/logind/login_session.hpp); nothing
// is held, so the assertion made for it is released at once. Without a screen-saver service,
// and for every other kind of assertion, the request is unsupported.
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

std::shared_ptr<PowerManagement> current();
void install(std::shared_ptr<PowerManagement> power);

}  // namespace platform::power
