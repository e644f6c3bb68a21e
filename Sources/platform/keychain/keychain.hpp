// The Keychain stand-in: generic-password items identified by service and account, with
// the item operations' status codes (0 success, -25300 item not found, -25299 duplicate
// item, ...). Each operation is one call, safe from any thread, as the platform's are.
//
// Implementations: `SimulatedKeychain` (simulated_keychain.hpp: in memory, scriptable, fault
// injection), `SecretServiceKeychain` (the desktop's Secret Service, secret_service_keychain.hpp),
// `FileKeychain` (file_keychain.hpp: a file in the user's data folder, mode 0600, replaced
// atomically, safe across threads and processes) and `LinuxKeychain` (keychain_linux.hpp: the
// Secret Service, or the file only when no Secret Service runs).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
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

}  // namespace platform::keychain
