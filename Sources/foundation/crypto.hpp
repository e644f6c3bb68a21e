// Seals and opens byte strings with AES-256-GCM under one key kept in the Keychain
// (account "masterKey"). The key is made on first need, stored before it is ever used and
// never replaced: a key that cannot be read or is malformed turns encryption off rather
// than being overwritten, so nothing sealed under it is orphaned.
//
// Sealed box: 12-byte nonce ‖ ciphertext ‖ 16-byte tag, 28 bytes longer than the plaintext.
#pragma once

#include <memory>
#include <mutex>
#include <optional>

#include "foundation/keychain.hpp"
#include "platform/crypto/crypto.hpp"

namespace quorvel {

class Crypto final {
 public:
  static constexpr const char* keyAccount = "masterKey";

  // The process-wide instance over the Keychain key (loaded before it is handed out).
  static Crypto& shared();

  // An instance over the caller's key; it never touches the Keychain.
  explicit Crypto(platform::crypto::SymmetricKey testKey);

  // The sealed box, or no value when there is no key or sealing fails.
  std::optional<Bytes> encrypt(const Bytes& plaintext);
  // The plaintext, or no value when there is no key, the input is malformed or altered, or
  // it was sealed under another key.
  std::optional<Bytes> decrypt(const Bytes& sealed);

  // The Keychain-backed instance (what `shared()` makes).
  static std::shared_ptr<Crypto> makeShared();

 private:
  struct KeychainBacked {};
  explicit Crypto(KeychainBacked);
  // Loads "masterKey", or makes and stores one when there is none. Never overwrites an item.
  void loadKey();

  std::optional<platform::crypto::SymmetricKey> key_;
  std::mutex keyLock_;
};

}  // namespace quorvel
