#include "platform/power/simulated_power.hpp"

namespace platform::power {

IOReturn SimulatedPowerManagement::createAssertionWithName(const std::string& type,
                                                           std::uint32_t level,
                                                           const std::string& name,
                                                           AssertionID* assertion) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!assertion) return kIOReturnBadArgument;
  if (createResult_ != kIOReturnSuccess) return createResult_;
  const AssertionID made = next_++;
  created_.push_back({type, level, name, made});
  held_.insert(made);
  if (type == kAssertionTypeNoDisplaySleep && level == kAssertionLevelOn) displayAsleep_ = false;
  *assertion = made;
  return kIOReturnSuccess;
}

IOReturn SimulatedPowerManagement::releaseAssertion(AssertionID assertion) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (held_.erase(assertion) == 0) return kIOReturnNotFound;
  ++releases_;
  return kIOReturnSuccess;
}

void SimulatedPowerManagement::setCreateResult(IOReturn result) {
  std::lock_guard<std::mutex> lock(mutex_);
  createResult_ = result;
}

std::vector<SimulatedPowerManagement::Created> SimulatedPowerManagement::created() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return created_;
}

std::size_t SimulatedPowerManagement::releaseCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return releases_;
}

std::size_t SimulatedPowerManagement::heldCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return held_.size();
}

bool SimulatedPowerManagement::displayAsleep() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return displayAsleep_;
}

void SimulatedPowerManagement::setDisplayAsleep(bool asleep) {
  std::lock_guard<std::mutex> lock(mutex_);
  displayAsleep_ = asleep;
}

}  // namespace platform::power
