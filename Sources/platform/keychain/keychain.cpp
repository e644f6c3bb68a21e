#include "platform/keychain/keychain.hpp"

#include <mutex>

#include "platform/keychain/keychain_linux.hpp"
#include "platform/paths/paths.hpp"

namespace platform::keychain {

const char* attributeValue(Accessibility accessibility) {
  switch (accessibility) {
    case Accessibility::whenUnlocked:
      return "ak";
    case Accessibility::afterFirstUnlock:
      return "ck";
    case Accessibility::whenUnlockedThisDeviceOnly:
      return "aku";
  }
  return "ak";
}

std::optional<Accessibility> accessibilityFromAttribute(const std::string& value) {
  if (value == "ak") return Accessibility::whenUnlocked;
  if (value == "ck") return Accessibility::afterFirstUnlock;
  if (value == "aku") return Accessibility::whenUnlockedThisDeviceOnly;
  return std::nullopt;
}

std::string messageForStatus(OSStatus status) {
  switch (status) {
    case errSecSuccess:
      return "No error.";
    case errSecUserCanceled:
      return "User canceled the operation.";
    case errSecParam:
      return "One or more parameters passed to a function were not valid.";
    case errSecIO:
      return "I/O error.";
    case errSecAuthFailed:
      return "The user name or passphrase you entered is not correct.";
    case errSecDuplicateItem:
      return "The specified item already exists in the keychain.";
    case errSecItemNotFound:
      return "The specified item could not be found in the keychain.";
    case errSecInteractionNotAllowed:
      return "User interaction is not allowed.";
    case errSecDecode:
      return "Unable to decode the provided data.";
    case errSecNotAvailable:
      return "No keychain is available. You may need to restart your computer.";
    case errSecNoDefaultKeychain:
      return "A default keychain could not be found.";
    case -34018:
      return "A required entitlement isn't present.";
    default:
      return "OSStatus " + std::to_string(status);
  }
}

// --- installed -----------------------------------------------------------------------------

namespace {
std::mutex gMutex;
std::shared_ptr<Keychain> gCurrent;
}  // namespace

std::shared_ptr<Keychain> current() {
  std::lock_guard<std::mutex> lock(gMutex);
  if (!gCurrent) gCurrent = std::make_shared<LinuxKeychain>(defaultFilePath());
  return gCurrent;
}

void install(std::shared_ptr<Keychain> keychain) {
  std::lock_guard<std::mutex> lock(gMutex);
  gCurrent = std::move(keychain);
}

std::string defaultFilePath() {
  return paths::dataHome() + "/" + paths::kApplicationFolder + "/keychain.json";
}

}  // namespace platform::keychain
