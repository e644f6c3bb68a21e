// The tests' system version: whatever the test sets.
#pragma once

#include "platform/system/system_version.hpp"

namespace platform::system {

// Answers the version a test sets (0.0.0 until then).
class SimulatedSystemVersion : public SystemVersion {
 public:
  explicit SimulatedSystemVersion(OperatingSystemVersion version = {}) : version_(version) {}
  OperatingSystemVersion operatingSystemVersion() const override { return version_; }
  void setVersion(OperatingSystemVersion version) { version_ = version; }

 private:
  OperatingSystemVersion version_;
};

}  // namespace platform::system
