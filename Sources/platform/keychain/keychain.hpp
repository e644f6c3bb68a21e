// The Keychain stand-in: generic-password items identified by service and account, with
// the item operations' status codes (0 success, -25300 item not found, -25299 duplicate
// item, ...). Each operation is one call, safe from any thread, as the platform's are.
//
// Implementations: `SimulatedKeychain` (in memory, scriptable, fault injection),
// `SecretServiceKeychain` (the desktop's Secret Service, secret_service_keychain.hpp),
// `FileKeychain` (a file in the user's data folder, mode 0600, replaced atomically, safe
// across threads and processes) and `LinuxKeychain` (linux_keychain.hpp: the Secret Service,
// or the file only when no Secret Service runs).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace platform::keychain {

using Bytes = std::vector<std::uint8_t>;
using OSStatus = std::int32_t;

inline constexpr OSStatus errSecSuccess = 0;
inline constexpr OSStatus errSecUserCanceled = -128;
inline constexpr OSStatus errSecParam = -50;
inline constexpr OSStatus errSecAuthFailed = -25293;
inline constexpr OSStatus errSecDuplicateItem = -25299;
inline constexpr OSStatus errSecItemNotFound = -25300;
inline constexpr OSStatus errSecNotAvailable = -25291;
inline constexpr OSStatus errSecNoDefaultKeychain = -25307;
inline constexpr OSStatus errSecInteractionNotAllowed = -25308;
inline constexpr OSStatus errSecDecode = -26275;
inline constexpr OSStatus errSecIO = -36;

// The accessibility attribute stored with an item.
enum class Accessibility { whenUnlocked, afterFirstUnlock, whenUnlockedThisDeviceOnly };
const char* attributeValue(Accessibility accessibility);  // "ak", "ck", "aku"
std::optional<Accessibility> accessibilityFromAttribute(const std::string& value);

// The platform's message text for a status.
std::string messageForStatus(OSStatus status);

// The answer of a copy-matching call: a status and, on success, normally a byte string.
struct CopyResult {
  OSStatus status = errSecItemNotFound;
  std::optional<Bytes> data;
};

class Keychain {
 public:
  virtual ~Keychain() = default;
  // Adds an item; errSecDuplicateItem when one with the same service and account exists.
  virtual OSStatus add(const std::string& service, const std::string& account, const Bytes& value,
                       Accessibility accessibility) = 0;
  // Replaces the value of the matching item (its other attributes stay).
  virtual OSStatus update(const std::string& service, const std::string& account,
                          const Bytes& value) = 0;
  // The value of the matching item.
  virtual CopyResult copyMatching(const std::string& service, const std::string& account) = 0;
  // Deletes the matching item.
  virtual OSStatus remove(const std::string& service, const std::string& account) = 0;
};

// The installed keychain, else a `LinuxKeychain` over `defaultFilePath()` (made lazily).
std::shared_ptr<Keychain> current();
void install(std::shared_ptr<Keychain> keychain);

// "$XDG_DATA_HOME/com.tessmin.quorvel/keychain.json".
std::string defaultFilePath();

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

// Items in one JSON file (values in Base64). Every change is a read-modify-write under an
// advisory lock of a sibling lock file, written to a temporary file and renamed into place,
// so other threads and processes see the old items or the new ones. A file that is there but
// cannot be opened or parsed is never overwritten: reads answer errSecDecode and changes are
// refused with it.
class FileKeychain : public Keychain {
 public:
  explicit FileKeychain(std::string path);

  OSStatus add(const std::string& service, const std::string& account, const Bytes& value,
               Accessibility accessibility) override;
  OSStatus update(const std::string& service, const std::string& account,
                  const Bytes& value) override;
  CopyResult copyMatching(const std::string& service, const std::string& account) override;
  OSStatus remove(const std::string& service, const std::string& account) override;

  const std::string& path() const { return path_; }

  struct Entry {
    std::string service;
    std::string account;
    Bytes value;
    Accessibility accessibility = Accessibility::whenUnlocked;
  };
  // Every item into `entries`: errSecSuccess (an empty list when there is no file), or
  // errSecDecode for a file that is there but cannot be read.
  OSStatus listItems(std::vector<Entry>& entries);
  // Deletes the file when it holds no item; true when no file is left.
  bool removeIfEmpty();

  // An item as the file keeps it (its accessibility attribute as written).
  struct Stored {
    Bytes value;
    std::string accessible;
  };
  using Items = std::map<std::pair<std::string, std::string>, Stored>;
  // The items of a file's contents into `items`; false when it is not a keychain file.
  static bool decodeItems(const Bytes& contents, Items& items);

 private:
  enum class ReadOutcome { ok, missing, unreadable };

  ReadOutcome readItems(Items& items) const;
  bool writeItems(const Items& items) const;
  // Runs `change` on the items under the process lock and the file lock, writing them back
  // when it answers success.
  template <class Change>
  OSStatus modify(Change&& change);

  std::string path_;
  std::mutex mutex_;
};

}  // namespace platform::keychain
