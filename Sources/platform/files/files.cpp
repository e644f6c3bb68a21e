#include "platform/files/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/paths/paths.hpp"

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

// Writes the temporary file completely and flushes it; its path, or no value.
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

// --- linux ---------------------------------------------------------------------------------

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

// --- simulated -----------------------------------------------------------------------------

std::optional<std::string> SimulatedFileSystem::applicationSupportFolder() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (hidden_) return std::nullopt;
  }
  return LinuxFileSystem::applicationSupportFolder();
}

std::optional<Bytes> SimulatedFileSystem::readFile(const std::string& path) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++reads_;
    const auto exact = readFaults_.find(path);
    const auto any = readFaults_.find("");
    if ((exact != readFaults_.end() && exact->second) || (any != readFaults_.end() && any->second)) {
      return std::nullopt;
    }
  }
  return LinuxFileSystem::readFile(path);
}

bool SimulatedFileSystem::writeAtomically(const std::string& path, const Bytes& data) {
  WriteFault fault = WriteFault::none;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++writes_;
    if (auto exact = writeFaults_.find(path); exact != writeFaults_.end()) {
      fault = exact->second;
    } else if (auto any = writeFaults_.find(""); any != writeFaults_.end()) {
      fault = any->second;
    }
  }
  switch (fault) {
    case WriteFault::none:
      return LinuxFileSystem::writeAtomically(path, data);
    case WriteFault::refuse:
      return false;
    case WriteFault::crashBeforeRename: {
      const auto temporary = writeTemporary(path, data);
      if (temporary) {
        std::lock_guard<std::mutex> lock(mutex_);
        leftovers_.push_back(*temporary);
      }
      return false;
    }
  }
  return false;
}

void SimulatedFileSystem::failReads(bool on, const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  readFaults_[path] = on;
}

void SimulatedFileSystem::failWrites(WriteFault fault, const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  writeFaults_[path] = fault;
}

void SimulatedFileSystem::hideApplicationSupport(bool hidden) {
  std::lock_guard<std::mutex> lock(mutex_);
  hidden_ = hidden;
}

void SimulatedFileSystem::clearFaults() {
  std::lock_guard<std::mutex> lock(mutex_);
  readFaults_.clear();
  writeFaults_.clear();
  hidden_ = false;
}

int SimulatedFileSystem::readCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return reads_;
}

int SimulatedFileSystem::writeCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return writes_;
}

std::vector<std::string> SimulatedFileSystem::leftovers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return leftovers_;
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
