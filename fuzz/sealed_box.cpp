// The sealed boxes on disk and in the keychain (the faceprint file, the login password): a
// box (nonce, ciphertext, tag) opened with the key, and what opens decoded as faceprints and
// checked as the password's UTF-8. Any input also seals and opens to itself, and the box with
// one byte changed opens to nothing.
#include "foundation/crypto.hpp"
#include "foundation/faceprint_store.hpp"
#include "foundation/password_vault.hpp"
#include "fuzz_input.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static quorvel::Crypto crypto{platform::crypto::SymmetricKey(quorvel::fuzz::sealingKey())};
  const quorvel::Bytes input(data, data + size);
  if (const auto plaintext = crypto.decrypt(input)) {
    (void)quorvel::FaceprintStore::decode(*plaintext);
    (void)quorvel::isValidUTF8(std::string(plaintext->begin(), plaintext->end()));
  }

  const auto sealed = crypto.encrypt(input);
  FUZZ_CHECK(sealed && sealed->size() == size + platform::crypto::kNonceSize + platform::crypto::kTagSize);
  FUZZ_CHECK(crypto.decrypt(*sealed) == input);
  auto altered = *sealed;
  altered[(size > 0 ? data[0] * 131u + data[size - 1] : 0u) % altered.size()] ^= 0x01;
  FUZZ_CHECK(!crypto.decrypt(altered));
  return 0;
}
