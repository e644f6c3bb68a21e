#include "platform/power/power.hpp"

#include "platform/logind/login_session.hpp"

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

namespace {
std::mutex installedMutex;
std::shared_ptr<PowerManagement>& installed() {
  static std::shared_ptr<PowerManagement> power;
  return power;
}
}  // namespace

std::shared_ptr<PowerManagement> current() {
  std::lock_guard<std::mutex> lock(installedMutex);
  if (!installed()) installed() = std::make_shared<LinuxPowerManagement>();
  return installed();
}

void install(std::shared_ptr<PowerManagement> power) {
  std::lock_guard<std::mutex> lock(installedMutex);
  installed() = std::move(power);
}

}  // namespace platform::power
