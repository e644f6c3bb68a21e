// The running operating system's version (major, minor, patch), as the platform's process
// information reports it. On Linux it is the kernel release ("6.1.0-18-amd64" gives 6.1.0;
// system_version_linux.hpp); tests install a simulated version (simulated_system_version.hpp).
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace platform::system {

struct OperatingSystemVersion {
  int majorVersion = 0;
  int minorVersion = 0;
  int patchVersion = 0;
  bool operator==(const OperatingSystemVersion&) const = default;
};

class SystemVersion {
 public:
  virtual ~SystemVersion() = default;
  virtual OperatingSystemVersion operatingSystemVersion() const = 0;
};

// The installed source, else the Linux one (made on first use).
std::shared_ptr<SystemVersion> current();
// Tests install the simulated one; nullptr goes back to the Linux one.
void install(std::shared_ptr<SystemVersion> source);

// current()->operatingSystemVersion().
OperatingSystemVersion operatingSystemVersion();

// The leading "major.minor.patch" numbers of a release text; missing parts are 0, and a
// text that does not start with a number gives no value.
std::optional<OperatingSystemVersion> parseRelease(const std::string& release);

}  // namespace platform::system
