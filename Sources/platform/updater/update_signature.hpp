// Ed25519 signatures of the update feed and archives (OpenSSL).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::updater {

inline constexpr std::size_t kPublicKeySize = 32;
inline constexpr std::size_t kSignatureSize = 64;

// Whether `key` is usable as an Ed25519 public key.
bool isPublicKey(const std::vector<std::uint8_t>& key);
// Whether `signature` is `key`'s Ed25519 signature of the `size` bytes at `message`.
bool verifySignature(const std::vector<std::uint8_t>& key, const std::uint8_t* message, std::size_t size,
                     const std::vector<std::uint8_t>& signature);
// The same for the whole file at `path` (mapped, not read into memory); false when it cannot
// be read.
bool verifyFileSignature(const std::vector<std::uint8_t>& key, const std::string& path,
                         const std::vector<std::uint8_t>& signature);
// A signature written as Base64 (surrounding white space ignored): its 64 bytes, or none.
std::optional<std::vector<std::uint8_t>> decodeSignature(std::string_view text);

}  // namespace platform::updater
