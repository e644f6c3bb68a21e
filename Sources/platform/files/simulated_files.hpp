// The simulated file system of the tests' machine: real files with scripted faults.
#pragma once

#include <map>
#include <mutex>

#include "platform/files/files_linux.hpp"

namespace platform::files {

// Real files with scripted faults. A fault names a path ("" = every path).
class SimulatedFileSystem : public LinuxFileSystem {
 public:
  enum class WriteFault {
    none,
    // The temporary file cannot be created (disk full, read-only folder).
    refuse,
    // The process "crashes" after the temporary file is written and before the rename: the
    // temporary file stays behind and the target is unchanged; the write reports failure.
    crashBeforeRename,
  };

  std::optional<std::string> applicationSupportFolder() override;
  std::optional<Bytes> readFile(const std::string& path) override;
  bool writeAtomically(const std::string& path, const Bytes& data) override;

  void failReads(bool on, const std::string& path = "");
  void failWrites(WriteFault fault, const std::string& path = "");
  // No Application Support folder at all.
  void hideApplicationSupport(bool hidden);
  void clearFaults();

  int readCount() const;
  int writeCount() const;
  // Temporary files left behind by simulated crashes.
  std::vector<std::string> leftovers() const;

 private:
  mutable std::mutex mutex_;
  std::map<std::string, bool> readFaults_;
  std::map<std::string, WriteFault> writeFaults_;
  bool hidden_ = false;
  int reads_ = 0;
  int writes_ = 0;
  std::vector<std::string> leftovers_;
};

}  // namespace platform::files
