#include "platform/system/system_version_linux.hpp"

#include <sys/utsname.h>

namespace platform::system {

OperatingSystemVersion LinuxSystemVersion::operatingSystemVersion() const {
  struct utsname name {};
  if (uname(&name) != 0) return {};
  return parseRelease(name.release).value_or(OperatingSystemVersion{});
}

}  // namespace platform::system
