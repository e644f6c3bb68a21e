#include "foundation/quorvel_password.hpp"

#include <nlohmann/json.hpp>

#include "foundation/json_text.hpp"
#include "platform/crypto/crypto.hpp"
#include "platform/encoding/base64.hpp"

namespace quorvel {
namespace {

namespace pc = platform::crypto;

Bytes saltedHash(const Bytes& salt, const std::string& password) {
  Bytes input = salt;
  input.insert(input.end(), password.begin(), password.end());
  const auto digest = pc::sha256(input);
  return Bytes(digest.begin(), digest.end());
}

bool matches(const Bytes& salt, const Bytes& hash, const std::string& password) {
  return pc::constantTimeEqual(saltedHash(salt, password), hash);
}

}  // namespace

std::string QuorvelPassword::encodeRecord(const Bytes& salt, const Bytes& hash) {
  return "{\"salt\":" + json_text::string(platform::encoding::base64Encode(salt)) +
         ",\"hash\":" + json_text::string(platform::encoding::base64Encode(hash)) + "}";
}

std::optional<QuorvelPassword::Record> QuorvelPassword::decodeRecord(const Bytes& json) {
  const auto parsed = nlohmann::json::parse(json.begin(), json.end(), nullptr, false);
  if (parsed.is_discarded() || !parsed.is_object()) return std::nullopt;
  const auto salt = parsed.find("salt");
  const auto hash = parsed.find("hash");
  if (salt == parsed.end() || hash == parsed.end() || !salt->is_string() || !hash->is_string()) {
    return std::nullopt;
  }
  auto saltBytes = platform::encoding::base64Decode(salt->get_ref<const std::string&>());
  auto hashBytes = platform::encoding::base64Decode(hash->get_ref<const std::string&>());
  if (!saltBytes || !hashBytes) return std::nullopt;
  return Record{std::move(*saltBytes), std::move(*hashBytes)};
}

bool QuorvelPassword::isSet() {
  if (!Keychain::read(recordAccount).isAbsent()) return true;
  // The older form: only its hash item counts.
  return !Keychain::read(legacyHashAccount).isAbsent();
}

bool QuorvelPassword::set(const std::string& password) {
  const auto salt = pc::SymmetricKey::random(128);
  if (!salt) return false;
  const std::string record = encodeRecord(salt->bytes(), saltedHash(salt->bytes(), password));
  return Keychain::set(Bytes(record.begin(), record.end()), recordAccount);
}

bool QuorvelPassword::verify(const std::string& password) {
  const Keychain::ReadResult stored = Keychain::read(recordAccount);
  switch (stored.kind) {
    case Keychain::ReadResult::Case::found: {
      const auto record = decodeRecord(stored.data);
      if (!record || record->salt.size() != 16 || record->hash.size() != 32) return false;
      return matches(record->salt, record->hash, password);
    }
    case Keychain::ReadResult::Case::failed:
      return false;
    case Keychain::ReadResult::Case::absent:
      break;
  }
  const auto salt = Keychain::get(legacySaltAccount);
  if (!salt) return false;
  const auto hash = Keychain::get(legacyHashAccount);
  if (!hash) return false;
  return matches(*salt, *hash, password);
}

void QuorvelPassword::clear() {
  Keychain::remove(recordAccount);
  Keychain::remove(legacySaltAccount);
  Keychain::remove(legacyHashAccount);
}

}  // namespace quorvel
