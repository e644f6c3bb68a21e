#include "foundation/crypto.hpp"

#include "foundation/log.hpp"
#include "platform/shared.hpp"

namespace quorvel {

namespace pc = platform::crypto;

Crypto& Crypto::shared() {
  static platform::SharedInstance<Crypto> instance([] { return makeShared(); });
  return instance.get();
}

std::shared_ptr<Crypto> Crypto::makeShared() {
  // Runs inside the once-only creation of the shared instance: no other thread can reach
  // this object yet, so the first load needs no lock.
  std::shared_ptr<Crypto> made(new Crypto(KeychainBacked{}));
  made->loadKey();
  return made;
}

Crypto::Crypto(KeychainBacked) {}

Crypto::Crypto(pc::SymmetricKey testKey) : key_(std::move(testKey)) {}

void Crypto::loadKey() {
  const Keychain::ReadResult stored = Keychain::read(keyAccount);
  switch (stored.kind) {
    case Keychain::ReadResult::Case::found:
      if (stored.data.size() == 32) {
        key_ = pc::SymmetricKey(stored.data);
      } else {
        Log::app().error("Encryption key has an invalid length; leaving it untouched");
      }
      return;
    case Keychain::ReadResult::Case::failed:
      Log::app().error("Encryption key unavailable (Keychain status %{public}d); leaving it untouched",
                       stored.status);
      return;
    case Keychain::ReadResult::Case::absent: {
      auto fresh = pc::SymmetricKey::random(256);
      // Only a key that is safely stored is ever used; `create` never replaces an item.
      if (fresh && Keychain::create(fresh->bytes(), keyAccount)) {
        key_ = std::move(*fresh);
      } else {
        Log::app().error("Could not save a new encryption key; encryption disabled");
      }
      return;
    }
  }
}

std::optional<Bytes> Crypto::encrypt(const Bytes& plaintext) {
  std::lock_guard<std::mutex> lock(keyLock_);
  if (!key_) loadKey();
  if (!key_) return std::nullopt;
  return pc::sealAESGCM(*key_, plaintext);
}

std::optional<Bytes> Crypto::decrypt(const Bytes& sealed) {
  std::lock_guard<std::mutex> lock(keyLock_);
  if (!key_) loadKey();
  if (!key_) return std::nullopt;
  return pc::openAESGCM(*key_, sealed);
}

}  // namespace quorvel
