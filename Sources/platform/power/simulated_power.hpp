// The simulated power management of the tests' machine.
#pragma once

#include <mutex>
#include <set>
#include <vector>

#include "platform/power/power.hpp"

namespace platform::power {

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

}  // namespace platform::power
