// Kernel information about processes: the list of process identifiers, a process's name,
// the BSD record of a process (owner, parent, start time) and this process's user id. The record read mirrors the kernel call it stands for:
// it answers with the number of bytes written, and a caller must check for the full size.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
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

// A process table the tests write.
class SimulatedProcesses : public Processes {
 public:
  int pidInfoBSD(std::int32_t pid, BSDInfo* info) override;
  std::uint32_t currentUserID() override;
  // Identifiers in ascending order; names are the records' `comm`.
  int listAllPids(std::int32_t* buffer, int capacity) override;
  int processName(std::int32_t pid, char* buffer, std::uint32_t size) override;

  // Makes listing fail (answer 0) while set.
  void setListingFails(bool fails);
  // Makes the name look-up of `pid` fail while set.
  void setNameFails(std::int32_t pid, bool fails);

  void setProcess(const BSDInfo& info);
  void removeProcess(std::int32_t pid);
  // Makes reads of `pid` come back with only `bytes` bytes (no value restores full reads).
  void setShortRead(std::int32_t pid, std::optional<int> bytes);
  void setCurrentUserID(std::uint32_t uid);
  std::optional<BSDInfo> process(std::int32_t pid) const;

 private:
  mutable std::mutex mutex_;
  std::map<std::int32_t, BSDInfo> table_;
  std::map<std::int32_t, int> shortReads_;
  std::uint32_t uid_ = 501;
  bool listingFails_ = false;
  std::map<std::int32_t, bool> nameFails_;
};

// Reads /proc: the owner from /proc/<pid>/status, the start time from the start ticks in
// /proc/<pid>/stat and the boot time in /proc/stat; the identifiers are /proc's numbered
// folders and a name is /proc/<pid>/comm.
class LinuxProcesses : public Processes {
 public:
  int pidInfoBSD(std::int32_t pid, BSDInfo* info) override;
  std::uint32_t currentUserID() override;
  int listAllPids(std::int32_t* buffer, int capacity) override;
  int processName(std::int32_t pid, char* buffer, std::uint32_t size) override;
};

// The start of a live process in clock ticks since boot (from /proc/<pid>/stat), or none.
std::optional<unsigned long long> linuxStartTicks(std::int32_t pid);

std::shared_ptr<Processes> current();
void install(std::shared_ptr<Processes> processes);

}  // namespace platform::processes
