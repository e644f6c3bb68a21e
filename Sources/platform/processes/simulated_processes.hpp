// The simulated process table of the tests' machine.
#pragma once

#include <map>
#include <mutex>

#include "platform/processes/processes.hpp"

namespace platform::processes {

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

}  // namespace platform::processes
