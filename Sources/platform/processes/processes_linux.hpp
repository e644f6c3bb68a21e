// Processes on Linux, read from /proc.
#pragma once

#include "platform/processes/processes.hpp"

namespace platform::processes {

// Reads /proc: the owner from /proc/<pid>/status, the start time from the start ticks in
// /proc/<pid>/stat and the boot time in /proc/stat; the identifiers are /proc's numbered
// folders and a name is /proc/<pid>/comm, except that a process running a known polkit agent is
// named "SecurityAgent" (platform/authorization/polkit_agent_linux.hpp).
class LinuxProcesses : public Processes {
 public:
  int pidInfoBSD(std::int32_t pid, BSDInfo* info) override;
  std::uint32_t currentUserID() override;
  int listAllPids(std::int32_t* buffer, int capacity) override;
  int processName(std::int32_t pid, char* buffer, std::uint32_t size) override;
};

// The start of a live process in clock ticks since boot (from /proc/<pid>/stat), or none.
std::optional<unsigned long long> linuxStartTicks(std::int32_t pid);

}  // namespace platform::processes
