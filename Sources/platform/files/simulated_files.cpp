#include "platform/files/simulated_files.hpp"

namespace platform::files {

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

}  // namespace platform::files
