#include "platform/updater/update_signature.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "platform/encoding/base64.hpp"

namespace platform::updater {
namespace {

using KeyPointer = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

KeyPointer makeKey(const std::vector<std::uint8_t>& key) {
  if (key.size() != kPublicKeySize) return KeyPointer(nullptr, &EVP_PKEY_free);
  return KeyPointer(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.data(), key.size()),
                    &EVP_PKEY_free);
}

}  // namespace

bool isPublicKey(const std::vector<std::uint8_t>& key) { return makeKey(key) != nullptr; }

bool verifySignature(const std::vector<std::uint8_t>& key, const std::uint8_t* message, std::size_t size,
                     const std::vector<std::uint8_t>& signature) {
  const KeyPointer pkey = makeKey(key);
  if (!pkey || signature.size() != kSignatureSize) return false;
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  static const std::uint8_t kEmpty = 0;
  return context && EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, pkey.get()) == 1 &&
         EVP_DigestVerify(context.get(), signature.data(), signature.size(), size ? message : &kEmpty,
                          size) == 1;
}

bool verifyFileSignature(const std::vector<std::uint8_t>& key, const std::string& path,
                         const std::vector<std::uint8_t>& signature) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info {};
  bool valid = false;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    const auto size = static_cast<std::size_t>(info.st_size);
    if (size == 0) {
      valid = verifySignature(key, nullptr, 0, signature);
    } else if (void* data = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0); data != MAP_FAILED) {
      valid = verifySignature(key, static_cast<const std::uint8_t*>(data), size, signature);
      ::munmap(data, size);
    }
  }
  ::close(fd);
  return valid;
}

std::optional<std::vector<std::uint8_t>> decodeSignature(std::string_view text) {
  const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (!text.empty() && space(text.front())) text.remove_prefix(1);
  while (!text.empty() && space(text.back())) text.remove_suffix(1);
  auto bytes = platform::encoding::base64Decode(text);
  if (!bytes || bytes->size() != kSignatureSize) return std::nullopt;
  return bytes;
}

}  // namespace platform::updater
