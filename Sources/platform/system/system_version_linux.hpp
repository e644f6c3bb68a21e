// The linux system version: the kernel release.
#pragma once

#include "platform/system/system_version.hpp"

namespace platform::system {

// Reads the kernel release (uname); 0.0.0 when it cannot be read or parsed.
class LinuxSystemVersion : public SystemVersion {
 public:
  OperatingSystemVersion operatingSystemVersion() const override;
};

}  // namespace platform::system
