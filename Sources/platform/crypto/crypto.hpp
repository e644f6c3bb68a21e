// Cryptography of the platform, through OpenSSL 3: AES-GCM sealed boxes in the combined
// form (12-byte random nonce, ciphertext, 16-byte tag; no associated data), SHA-256, and
// random bytes and keys from the system's cryptographic random source. No function throws:
// every library error becomes no value (or false).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace platform::crypto {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::size_t kNonceSize = 12;
inline constexpr std::size_t kTagSize = 16;

// A symmetric key of 128, 192 or 256 bits (other sizes are kept but fail to seal or open).
class SymmetricKey {
 public:
  explicit SymmetricKey(Bytes bytes) : bytes_(std::move(bytes)) {}
  // A fresh random key of `bits` bits (128, 192 or 256); no value when the random source fails.
  static std::optional<SymmetricKey> random(std::size_t bits);
  const Bytes& bytes() const { return bytes_; }
  std::size_t bitCount() const { return bytes_.size() * 8; }

 private:
  Bytes bytes_;
};

// Seals `plaintext` under `key` with a fresh random nonce: nonce ‖ ciphertext ‖ tag.
std::optional<Bytes> sealAESGCM(const SymmetricKey& key, const Bytes& plaintext);
// Opens a combined sealed box; no value when it is too short, altered, or of another key.
std::optional<Bytes> openAESGCM(const SymmetricKey& key, const Bytes& combined);

std::array<std::uint8_t, 32> sha256(const Bytes& data);
// Whether two byte strings are equal, in time that does not depend on where they differ.
bool constantTimeEqual(const Bytes& a, const Bytes& b);
// `count` bytes from the cryptographic random source, or no value when it fails.
std::optional<Bytes> randomBytes(std::size_t count);

}  // namespace platform::crypto
