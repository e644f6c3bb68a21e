#include "platform/system/system_version.hpp"

#include <cctype>
#include <climits>
#include <mutex>

#include "platform/system/system_version_linux.hpp"

namespace platform::system {
namespace {

std::mutex& sourceMutex() {
  static std::mutex mutex;
  return mutex;
}
std::shared_ptr<SystemVersion>& installed() {
  static std::shared_ptr<SystemVersion> source;
  return source;
}

// Reads the digits at `text[i]...` into `value`; false when there are none or they overflow.
bool readNumber(const std::string& text, std::size_t& i, int& value) {
  if (i >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i]))) return false;
  long long number = 0;
  while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
    number = number * 10 + (text[i] - '0');
    if (number > INT_MAX) return false;
    ++i;
  }
  value = static_cast<int>(number);
  return true;
}

}  // namespace

std::shared_ptr<SystemVersion> current() {
  std::lock_guard<std::mutex> guard(sourceMutex());
  if (!installed()) installed() = std::make_shared<LinuxSystemVersion>();
  return installed();
}

void install(std::shared_ptr<SystemVersion> source) {
  std::lock_guard<std::mutex> guard(sourceMutex());
  installed() = std::move(source);
}

OperatingSystemVersion operatingSystemVersion() { return current()->operatingSystemVersion(); }

std::optional<OperatingSystemVersion> parseRelease(const std::string& release) {
  OperatingSystemVersion version;
  std::size_t i = 0;
  if (!readNumber(release, i, version.majorVersion)) return std::nullopt;
  if (i < release.size() && release[i] == '.') {
    ++i;
    if (!readNumber(release, i, version.minorVersion)) return version;
    if (i < release.size() && release[i] == '.') {
      ++i;
      if (!readNumber(release, i, version.patchVersion)) version.patchVersion = 0;
    }
  }
  return version;
}

}  // namespace platform::system
