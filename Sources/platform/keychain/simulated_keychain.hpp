// The simulated keychain of the tests' machine.
#pragma once

#include <map>
#include <mutex>
#include <utility>

#include "platform/keychain/keychain.hpp"

namespace platform::keychain {

// In memory, deterministic. Faults are scripted per account ("" = every account).
class SimulatedKeychain : public Keychain {
 public:
  struct Item {
    Bytes value;
    Accessibility accessibility = Accessibility::whenUnlocked;
  };

  OSStatus add(const std::string& service, const std::string& account, const Bytes& value,
               Accessibility accessibility) override;
  OSStatus update(const std::string& service, const std::string& account,
                  const Bytes& value) override;
  CopyResult copyMatching(const std::string& service, const std::string& account) override;
  OSStatus remove(const std::string& service, const std::string& account) override;

  // --- scripting (tests) ---
  // Reads of `account` answer `status` (a refusal such as -25293 or -128).
  void refuseReads(OSStatus status, const std::string& account = "");
  // Adds, updates and deletes of `account` answer `status` and change nothing.
  void refuseWrites(OSStatus status, const std::string& account = "");
  // Reads of an existing item answer success without a byte string.
  void answerSuccessWithoutData(bool on, const std::string& account = "");
  // Removes every scripted fault.
  void clearFaults();

  // Direct access to the stored items, bypassing faults.
  void put(const std::string& service, const std::string& account, Bytes value,
           Accessibility accessibility = Accessibility::whenUnlocked);
  std::optional<Item> item(const std::string& service, const std::string& account) const;
  std::size_t itemCount() const;
  // Calls made so far, by operation ("add", "update", "copy", "delete").
  int calls(const std::string& operation) const;

 private:
  std::optional<OSStatus> fault(const std::map<std::string, OSStatus>& faults,
                                const std::string& account) const;

  mutable std::mutex mutex_;
  std::map<std::pair<std::string, std::string>, Item> items_;
  std::map<std::string, OSStatus> readFaults_;
  std::map<std::string, OSStatus> writeFaults_;
  std::map<std::string, bool> noData_;
  std::map<std::string, int> calls_;
};

}  // namespace platform::keychain
