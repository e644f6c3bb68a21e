#include "platform/crypto/crypto.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <climits>
#include <memory>

#include "platform/secure/secure.hpp"

namespace platform::crypto {
namespace {

struct ContextFree {
  void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using Context = std::unique_ptr<EVP_CIPHER_CTX, ContextFree>;

const EVP_CIPHER* cipherFor(const SymmetricKey& key) {
  switch (key.bytes().size()) {
    case 16:
      return EVP_aes_128_gcm();
    case 24:
      return EVP_aes_192_gcm();
    case 32:
      return EVP_aes_256_gcm();
    default:
      return nullptr;
  }
}

}  // namespace

std::optional<SymmetricKey> SymmetricKey::random(std::size_t bits) {
  if (bits != 128 && bits != 192 && bits != 256) return std::nullopt;
  auto bytes = randomBytes(bits / 8);
  if (!bytes) return std::nullopt;
  return SymmetricKey(std::move(*bytes));
}

std::optional<Bytes> sealAESGCM(const SymmetricKey& key, const Bytes& plaintext) {
  const EVP_CIPHER* cipher = cipherFor(key);
  if (!cipher || plaintext.size() > static_cast<std::size_t>(INT_MAX)) return std::nullopt;
  auto nonce = randomBytes(kNonceSize);
  if (!nonce) return std::nullopt;
  Context context(EVP_CIPHER_CTX_new());
  if (!context) return std::nullopt;
  Bytes out(kNonceSize + plaintext.size() + kTagSize);
  std::copy(nonce->begin(), nonce->end(), out.begin());
  int length = 0;
  if (EVP_EncryptInit_ex(context.get(), cipher, nullptr, nullptr, nullptr) != 1 ||
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(kNonceSize), nullptr) != 1 ||
      EVP_EncryptInit_ex(context.get(), nullptr, nullptr, key.bytes().data(), nonce->data()) != 1) {
    return std::nullopt;
  }
  if (!plaintext.empty() &&
      EVP_EncryptUpdate(context.get(), out.data() + kNonceSize, &length, plaintext.data(),
                        static_cast<int>(plaintext.size())) != 1) {
    return std::nullopt;
  }
  int finalLength = 0;
  if (EVP_EncryptFinal_ex(context.get(), out.data() + kNonceSize + length, &finalLength) != 1 ||
      static_cast<std::size_t>(length + finalLength) != plaintext.size()) {
    return std::nullopt;
  }
  if (EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagSize),
                          out.data() + kNonceSize + plaintext.size()) != 1) {
    return std::nullopt;
  }
  return out;
}

std::optional<Bytes> openAESGCM(const SymmetricKey& key, const Bytes& combined) {
  const EVP_CIPHER* cipher = cipherFor(key);
  if (!cipher || combined.size() < kNonceSize + kTagSize) return std::nullopt;
  const std::size_t textSize = combined.size() - kNonceSize - kTagSize;
  if (textSize > static_cast<std::size_t>(INT_MAX)) return std::nullopt;
  Context context(EVP_CIPHER_CTX_new());
  if (!context) return std::nullopt;
  if (EVP_DecryptInit_ex(context.get(), cipher, nullptr, nullptr, nullptr) != 1 ||
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(kNonceSize), nullptr) != 1 ||
      EVP_DecryptInit_ex(context.get(), nullptr, nullptr, key.bytes().data(), combined.data()) != 1) {
    return std::nullopt;
  }
  Bytes out(textSize);
  int length = 0;
  if (textSize > 0 &&
      EVP_DecryptUpdate(context.get(), out.data(), &length, combined.data() + kNonceSize,
                        static_cast<int>(textSize)) != 1) {
    return std::nullopt;
  }
  // The control call takes a writable buffer; hand it a copy of the tag.
  Bytes tag(combined.end() - static_cast<std::ptrdiff_t>(kTagSize), combined.end());
  if (EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagSize), tag.data()) != 1) {
    return std::nullopt;
  }
  int finalLength = 0;
  std::uint8_t spare = 0;  // GCM writes nothing at the end; never hand OpenSSL a null buffer
  std::uint8_t* tail = textSize > 0 ? out.data() + length : &spare;
  // Text that fails its tag is no one's to read: it is wiped, not just dropped.
  if (EVP_DecryptFinal_ex(context.get(), tail, &finalLength) != 1 ||
      static_cast<std::size_t>(length + finalLength) != textSize) {
    secure::wipe(out);
    return std::nullopt;
  }
  return out;
}

std::array<std::uint8_t, 32> sha256(const Bytes& data) {
  std::array<std::uint8_t, 32> digest{};
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_sha256(), nullptr);
  return digest;
}

bool constantTimeEqual(const Bytes& a, const Bytes& b) {
  if (a.size() != b.size()) return false;
  if (a.empty()) return true;
  return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::optional<Bytes> randomBytes(std::size_t count) {
  Bytes out(count);
  if (count > static_cast<std::size_t>(INT_MAX)) return std::nullopt;
  if (count > 0 && RAND_bytes(out.data(), static_cast<int>(count)) != 1) return std::nullopt;
  return out;
}

}  // namespace platform::crypto
