#include "platform/processes/simulated_processes.hpp"

namespace platform::processes {

int SimulatedProcesses::pidInfoBSD(std::int32_t pid, BSDInfo* info) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = table_.find(pid);
  if (found == table_.end() || !info) return 0;
  auto shortRead = shortReads_.find(pid);
  if (shortRead != shortReads_.end()) {
    // A short read fills only the leading part of the record.
    BSDInfo partial;
    partial.pid = found->second.pid;
    partial.ppid = found->second.ppid;
    *info = partial;
    return shortRead->second;
  }
  *info = found->second;
  return kBSDInfoSize;
}

std::uint32_t SimulatedProcesses::currentUserID() {
  std::lock_guard<std::mutex> lock(mutex_);
  return uid_;
}

void SimulatedProcesses::setProcess(const BSDInfo& info) {
  std::lock_guard<std::mutex> lock(mutex_);
  table_[static_cast<std::int32_t>(info.pid)] = info;
}

void SimulatedProcesses::removeProcess(std::int32_t pid) {
  std::lock_guard<std::mutex> lock(mutex_);
  table_.erase(pid);
}

void SimulatedProcesses::setShortRead(std::int32_t pid, std::optional<int> bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (bytes) {
    shortReads_[pid] = *bytes;
  } else {
    shortReads_.erase(pid);
  }
}

void SimulatedProcesses::setCurrentUserID(std::uint32_t uid) {
  std::lock_guard<std::mutex> lock(mutex_);
  uid_ = uid;
}

std::optional<BSDInfo> SimulatedProcesses::process(std::int32_t pid) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = table_.find(pid);
  if (found == table_.end()) return std::nullopt;
  return found->second;
}

// Listing processes and reading their names.

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

}  // namespace platform::processes
