#include "platform/paths/paths.hpp"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace platform::paths {
namespace {

std::string home() {
  if (const char* value = std::getenv("HOME"); value && *value) return value;
  if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir) return entry->pw_dir;
  return "/tmp";
}

std::string fromEnvironment(const char* name, const char* fallbackUnderHome) {
  // Relative values are invalid by the XDG rules and are ignored.
  if (const char* value = std::getenv(name); value && value[0] == '/') return value;
  return home() + fallbackUnderHome;
}

}  // namespace

std::string configHome() { return fromEnvironment("XDG_CONFIG_HOME", "/.config"); }
std::string dataHome() { return fromEnvironment("XDG_DATA_HOME", "/.local/share"); }

bool createFolders(const std::string& path) {
  if (path.empty()) return false;
  for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string prefix = slash == std::string::npos ? path : path.substr(0, slash);
    if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) break;
  }
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace platform::paths
