// Keeps the user's login password, sealed by the encryption service, in the Keychain item
// "loginPassword". Holds nothing in memory; every failure is a plain false or no value.
#pragma once

#include <optional>
#include <string>

namespace quorvel {

struct PasswordVault {
  PasswordVault() = delete;

  static constexpr const char* account = "loginPassword";

  // An item with a value exists (it is not opened; a Keychain error counts as none).
  static bool hasPassword();
  // Seals the password's UTF-8 bytes and stores them; false when the text is not valid UTF-8
  // or sealing or storing fails (nothing is written in the first two cases).
  static bool set(const std::string& password);
  // The stored password, or no value when it is missing, cannot be opened or is not UTF-8.
  static std::optional<std::string> read();
  // Deletes the item; the result is ignored.
  static void clear();
};

// Whether `bytes` are well-formed UTF-8 (no overlong forms, surrogates or values past
// U+10FFFF).
bool isValidUTF8(const std::string& bytes);

}  // namespace quorvel
