#include "platform/processes/processes_linux.hpp"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/authorization/polkit_agent_linux.hpp"

namespace platform::processes {

namespace {

struct StatFields {
  std::string comm;
  std::uint32_t ppid = 0;
  unsigned long long startTicks = 0;
};

std::optional<StatFields> readStat(std::int32_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  if (!file) return std::nullopt;
  // Read whole: the name is printed as the process set it, line breaks included.
  std::ostringstream contents;
  contents << file.rdbuf();
  const std::string line = contents.str();
  if (line.empty()) return std::nullopt;
  // "pid (comm) state ppid ...": the name may hold spaces and parentheses, so the fields
  // resume after the last ')'.
  const auto open = line.find('(');
  const auto close = line.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close < open) return std::nullopt;
  StatFields stat;
  stat.comm = line.substr(open + 1, close - open - 1);
  std::istringstream rest(line.substr(close + 1));
  std::vector<std::string> fields;
  for (std::string field; rest >> field;) fields.push_back(field);
  // fields[0] is field 3 (state); ppid is field 4, the start time field 22.
  if (fields.size() < 20) return std::nullopt;
  try {
    stat.ppid = static_cast<std::uint32_t>(std::stoul(fields[1]));
    stat.startTicks = std::stoull(fields[19]);
  } catch (...) {
    return std::nullopt;
  }
  return stat;
}

// Real, effective user ids and the real group id from /proc/<pid>/status.
bool readOwner(std::int32_t pid, std::uint32_t* ruid, std::uint32_t* euid, std::uint32_t* gid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/status");
  if (!file) return false;
  bool haveUid = false, haveGid = false;
  for (std::string line; std::getline(file, line);) {
    std::istringstream fields(line);
    std::string key;
    fields >> key;
    if (key == "Uid:") {
      unsigned long real = 0, effective = 0;
      if (fields >> real >> effective) {
        *ruid = static_cast<std::uint32_t>(real);
        *euid = static_cast<std::uint32_t>(effective);
        haveUid = true;
      }
    } else if (key == "Gid:") {
      unsigned long real = 0;
      if (fields >> real) {
        *gid = static_cast<std::uint32_t>(real);
        haveGid = true;
      }
    }
  }
  return haveUid && haveGid;
}

std::optional<unsigned long long> bootTime() {
  std::ifstream file("/proc/stat");
  for (std::string line; std::getline(file, line);) {
    if (line.rfind("btime ", 0) == 0) {
      try {
        return std::stoull(line.substr(6));
      } catch (...) {
        return std::nullopt;
      }
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<unsigned long long> linuxStartTicks(std::int32_t pid) {
  if (pid < 1) return std::nullopt;
  auto stat = readStat(pid);
  if (!stat) return std::nullopt;
  return stat->startTicks;
}

int LinuxProcesses::pidInfoBSD(std::int32_t pid, BSDInfo* info) {
  if (pid < 1 || !info) return 0;
  auto stat = readStat(pid);
  auto boot = bootTime();
  const long ticksPerSecond = ::sysconf(_SC_CLK_TCK);
  if (!stat || !boot || ticksPerSecond <= 0) return 0;
  BSDInfo record;
  if (!readOwner(pid, &record.ruid, &record.uid, &record.gid)) return 0;
  // The process may have ended and its identifier been reused between the reads.
  auto again = readStat(pid);
  if (!again || again->startTicks != stat->startTicks) return 0;
  const auto hz = static_cast<unsigned long long>(ticksPerSecond);
  record.pid = static_cast<std::uint32_t>(pid);
  record.ppid = stat->ppid;
  record.comm = stat->comm;
  record.startSeconds = *boot + stat->startTicks / hz;
  record.startMicroseconds = (stat->startTicks % hz) * 1'000'000ULL / hz;
  *info = record;
  return kBSDInfoSize;
}

std::uint32_t LinuxProcesses::currentUserID() { return static_cast<std::uint32_t>(::getuid()); }

// Listing processes and reading their names.

namespace {

std::vector<std::int32_t> procIdentifiers() {
  std::vector<std::int32_t> pids;
  DIR* folder = ::opendir("/proc");
  if (!folder) return pids;
  while (const dirent* entry = ::readdir(folder)) {
    const char* name = entry->d_name;
    if (*name == '\0' || !std::all_of(name, name + std::strlen(name), [](char c) { return c >= '0' && c <= '9'; })) {
      continue;
    }
    try {
      const long value = std::stol(name);
      if (value > 0 && value <= 0x7fffffff) pids.push_back(static_cast<std::int32_t>(value));
    } catch (...) {
    }
  }
  ::closedir(folder);
  return pids;
}

}  // namespace

int LinuxProcesses::listAllPids(std::int32_t* buffer, int capacity) {
  const auto pids = procIdentifiers();
  if (!buffer) return static_cast<int>(pids.size());
  const int written = std::min(capacity, static_cast<int>(pids.size()));
  std::copy_n(pids.begin(), std::max(written, 0), buffer);
  return written;
}

int LinuxProcesses::processName(std::int32_t pid, char* buffer, std::uint32_t size) {
  if (pid < 1) return 0;
  // The desktop's polkit agent stands for the security agent.
  if (authorization::agentExecutable(pid)) return copyName(authorization::kSecurityAgentName, buffer, size);
  std::ifstream file("/proc/" + std::to_string(pid) + "/comm");
  if (!file) return 0;
  // Read through the stream buffer: a process that ends while it is read (the read fails
  // with ESRCH) then reads as no name instead of throwing out of the caller's listing.
  std::ostringstream contents;
  contents << file.rdbuf();
  // The kernel ends the name with a line break; the name itself may hold one too.
  std::string name = contents.str();
  if (name.empty()) return 0;
  if (name.back() == '\n') name.pop_back();
  return copyName(name, buffer, size);
}

}  // namespace platform::processes
