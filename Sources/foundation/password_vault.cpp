#include "foundation/password_vault.hpp"

#include "foundation/crypto.hpp"
#include "foundation/keychain.hpp"
#include "platform/secure/secure.hpp"

namespace quorvel {

bool PasswordVault::hasPassword() { return Keychain::get(account).has_value(); }

// Every copy of the password made here is wiped before its memory is given back.
bool PasswordVault::set(const std::string& password) {
  // A password `read()` could never give back is refused rather than reported as saved.
  if (!isValidUTF8(password)) return false;
  Bytes plain(password.begin(), password.end());
  const auto sealed = Crypto::shared().encrypt(plain);
  platform::secure::wipe(plain);
  if (!sealed) return false;
  return Keychain::set(*sealed, account);
}

std::optional<std::string> PasswordVault::read() {
  const auto stored = Keychain::get(account);
  if (!stored) return std::nullopt;
  auto plain = Crypto::shared().decrypt(*stored);
  if (!plain) return std::nullopt;
  std::string text(plain->begin(), plain->end());
  platform::secure::wipe(*plain);
  if (!isValidUTF8(text)) {
    platform::secure::wipe(text);
    return std::nullopt;
  }
  return text;
}

void PasswordVault::clear() { Keychain::remove(account); }

bool isValidUTF8(const std::string& bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* end = p + bytes.size();
  while (p < end) {
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    int extra = 0;
    std::uint32_t code = 0;
    std::uint32_t minimum = 0;
    if ((c & 0xE0) == 0xC0) {
      extra = 1, code = c & 0x1F, minimum = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2, code = c & 0x0F, minimum = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3, code = c & 0x07, minimum = 0x10000;
    } else {
      return false;
    }
    if (end - p <= extra) return false;
    for (int i = 1; i <= extra; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      code = (code << 6) | (p[i] & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    p += extra + 1;
  }
  return true;
}

}  // namespace quorvel
