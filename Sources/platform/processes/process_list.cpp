// Listing processes and reading their names.
#include <dirent.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <vector>

#include "platform/processes/processes.hpp"

namespace platform::processes {

namespace {

// Copies `name` into `buffer` of `size` bytes, cut to fit and zero-terminated.
int copyName(const std::string& name, char* buffer, std::uint32_t size) {
  if (!buffer || size == 0) return 0;
  const std::size_t length = std::min<std::size_t>(name.size(), size - 1);
  std::memcpy(buffer, name.data(), length);
  buffer[length] = '\0';
  return static_cast<int>(length);
}

}  // namespace

// --- simulated -----------------------------------------------------------------------------

int SimulatedProcesses::listAllPids(std::int32_t* buffer, int capacity) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (listingFails_) return 0;
  if (!buffer) return static_cast<int>(table_.size());
  int written = 0;
  for (const auto& [pid, info] : table_) {
    if (written >= capacity) break;
    buffer[written++] = pid;
  }
  return written;
}

int SimulatedProcesses::processName(std::int32_t pid, char* buffer, std::uint32_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = table_.find(pid);
  if (found == table_.end()) return 0;
  auto fails = nameFails_.find(pid);
  if (fails != nameFails_.end() && fails->second) return 0;
  return copyName(found->second.comm, buffer, size);
}

void SimulatedProcesses::setListingFails(bool fails) {
  std::lock_guard<std::mutex> lock(mutex_);
  listingFails_ = fails;
}

void SimulatedProcesses::setNameFails(std::int32_t pid, bool fails) {
  std::lock_guard<std::mutex> lock(mutex_);
  nameFails_[pid] = fails;
}

// --- linux ---------------------------------------------------------------------------------

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
  std::ifstream file("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  if (!file || !std::getline(file, name)) return 0;
  return copyName(name, buffer, size);
}

}  // namespace platform::processes
