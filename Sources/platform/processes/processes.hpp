// Kernel information about processes: the list of process identifiers, a process's name,
// the BSD record of a process (owner, parent, start time) and this process's user id. The record read mirrors the kernel call it stands for:
// it answers with the number of bytes written, and a caller must check for the full size.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace platform::processes {

// Size of the full BSD information record.
inline constexpr int kBSDInfoSize = 136;

struct BSDInfo {
  std::uint32_t pid = 0;
  std::uint32_t ppid = 0;
  std::uint32_t uid = 0;   // effective user id
  std::uint32_t ruid = 0;  // real user id
  std::uint32_t gid = 0;
  std::string comm;        // short command name
  std::uint64_t startSeconds = 0;       // start time, seconds since 1970
  std::uint64_t startMicroseconds = 0;  // and its microseconds
};

class Processes {
 public:
  virtual ~Processes() = default;
  // Fills `info` for `pid`; returns the number of bytes written: kBSDInfoSize for a full
  // record, fewer for a short read, 0 when there is no such process or it may not be read.
  virtual int pidInfoBSD(std::int32_t pid, BSDInfo* info) = 0;
  virtual std::uint32_t currentUserID() = 0;
  // Writes up to `capacity` process identifiers into `buffer` and returns how many it wrote;
  // without a buffer, returns how many processes there are now. Below 1 on failure.
  virtual int listAllPids(std::int32_t* buffer, int capacity) = 0;
  // Copies the process's name, zero-terminated, into `buffer` of `size` bytes (cut to fit);
  // returns the name's length in bytes, 0 when there is no such process or no room.
  virtual int processName(std::int32_t pid, char* buffer, std::uint32_t size) = 0;
};

// Copies `name` into `buffer` of `size` bytes, cut to fit and zero-terminated; returns the
// length copied (what `processName` answers).
int copyName(const std::string& name, char* buffer, std::uint32_t size);

std::shared_ptr<Processes> current();
void install(std::shared_ptr<Processes> processes);

}  // namespace platform::processes
