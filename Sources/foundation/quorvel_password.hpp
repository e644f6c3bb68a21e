// The app password: a password of the application's own that guards re-enrolling, changing
// the saved login password, forgetting the face and changing itself. Only a salted SHA-256
// hash is kept, in the Keychain item "quorvelPasswordRecord" as JSON
// {"salt": Base64 of 16 bytes, "hash": Base64 of SHA-256(salt ‖ UTF-8 password)}.
// Older installations kept the raw salt and hash in two items; those are still read and
// deleted, never written. When in doubt it counts as set, so a Keychain problem never
// removes the guard.
#pragma once

#include <optional>
#include <string>

#include "foundation/keychain.hpp"

namespace quorvel {

struct QuorvelPassword {
  QuorvelPassword() = delete;

  static constexpr const char* recordAccount = "quorvelPasswordRecord";
  static constexpr const char* legacySaltAccount = "quorvelPasswordSalt";
  static constexpr const char* legacyHashAccount = "quorvelPasswordHash";

  // An app password is present, or might be (a record or older hash that cannot be read).
  static bool isSet();
  // Stores a new salted hash; true when the Keychain accepted it.
  static bool set(const std::string& password);
  // Whether `password` matches the stored hash.
  static bool verify(const std::string& password);
  // Deletes the record and both older items.
  static void clear();

  // The stored record's JSON for a salt and hash (compact, members salt then hash).
  static std::string encodeRecord(const Bytes& salt, const Bytes& hash);
  struct Record {
    Bytes salt;
    Bytes hash;
  };
  // The record in `json`, or no value when it is not a record (wrong types, wrong Base64).
  static std::optional<Record> decodeRecord(const Bytes& json);
};

}  // namespace quorvel
