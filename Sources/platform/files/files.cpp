#include "platform/files/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/files/files_linux.hpp"

namespace platform::files {
namespace {

std::mutex gMutex;
std::shared_ptr<FileSystem> gCurrent;

std::string folderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string nameOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A name no other writer of this or another process uses at the same time.
std::string temporaryPathFor(const std::string& path) {
  static std::atomic<std::uint64_t> counter{0};
  return folderOf(path) + "/." + nameOf(path) + ".tmp-" + std::to_string(::getpid()) + "-" +
         std::to_string(counter.fetch_add(1));
}

bool writeAll(int fd, const Bytes& data) {
  std::size_t written = 0;
  while (written < data.size()) {
    const auto n = ::write(fd, data.data() + written, data.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    written += static_cast<std::size_t>(n);
  }
  return true;
}

bool renameIntoPlace(const std::string& temporary, const std::string& path) {
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  // Make the rename itself durable.
  const int folder = ::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    ::fsync(folder);
    ::close(folder);
  }
  return true;
}

}  // namespace

std::optional<std::string> writeTemporary(const std::string& path, const Bytes& data) {
  const std::string temporary = temporaryPathFor(path);
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return std::nullopt;
  const bool ok = writeAll(fd, data) && ::fsync(fd) == 0;
  if (::close(fd) != 0 || !ok) {
    ::unlink(temporary.c_str());
    return std::nullopt;
  }
  return temporary;
}

std::shared_ptr<FileSystem> current() {
  std::lock_guard<std::mutex> lock(gMutex);
  if (!gCurrent) gCurrent = std::make_shared<LinuxFileSystem>();
  return gCurrent;
}

void install(std::shared_ptr<FileSystem> fileSystem) {
  std::lock_guard<std::mutex> lock(gMutex);
  gCurrent = std::move(fileSystem);
}

bool writeFileAtomically(const std::string& path, const Bytes& data) {
  const auto temporary = writeTemporary(path, data);
  return temporary && renameIntoPlace(*temporary, path);
}

std::optional<Bytes> readWholeFile(const std::string& path) {
  // Opened without waiting: a pipe or a device in place of the file would otherwise block the
  // open (and the read) for as long as nobody writes to it. Only regular files are read.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return std::nullopt;
  }
  Bytes data;
  if (info.st_size > 0) data.reserve(static_cast<std::size_t>(info.st_size));
  std::uint8_t buffer[16384];
  for (;;) {
    const auto n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    data.insert(data.end(), buffer, buffer + n);
  }
  ::close(fd);
  return data;
}

std::optional<std::string> writeFile(const std::string& path, const Bytes& data) {
  const std::size_t slash = path.find_last_of('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  auto failure = [&](int error) {
    return "The file \u201c" + name + "\u201d couldn\u2019t be saved: " + std::strerror(error) + ".";
  };
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return failure(errno);
  std::size_t written = 0;
  while (written < data.size()) {
    const ssize_t n = ::write(fd, data.data() + written, data.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      ::close(fd);
      return failure(error);
    }
    written += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0) return failure(errno);
  return std::nullopt;
}

}  // namespace platform::files
