#include "platform/files/files_linux.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/paths/paths.hpp"

namespace platform::files {

std::optional<std::string> LinuxFileSystem::applicationSupportFolder() { return paths::dataHome(); }

std::string LinuxFileSystem::temporaryFolder() {
  if (const char* value = std::getenv("TMPDIR"); value && value[0] == '/') return value;
  return "/tmp";
}

bool LinuxFileSystem::createFolders(const std::string& path) { return paths::createFolders(path); }

bool LinuxFileSystem::fileExists(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) return true;
  // Only a definite "no such file" counts as missing; a file behind a folder that cannot be
  // searched may well exist.
  return errno != ENOENT && errno != ENOTDIR;
}

std::optional<Bytes> LinuxFileSystem::readFile(const std::string& path) { return readWholeFile(path); }

bool LinuxFileSystem::writeAtomically(const std::string& path, const Bytes& data) {
  return writeFileAtomically(path, data);
}

bool LinuxFileSystem::removeFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

}  // namespace platform::files
