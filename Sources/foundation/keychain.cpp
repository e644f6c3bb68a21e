#include "foundation/keychain.hpp"

#include "foundation/log.hpp"
#include "platform/keychain/keychain.hpp"

namespace quorvel {

namespace kc = platform::keychain;

bool Keychain::create(const Bytes& data, const std::string& account) {
  return kc::current()->add(service, account, data, kc::Accessibility::whenUnlocked) ==
         kc::errSecSuccess;
}

bool Keychain::set(const Bytes& data, const std::string& account) {
  const auto keychain = kc::current();
  // Only the value changes; an existing item keeps its accessibility.
  const kc::OSStatus status = keychain->update(service, account, data);
  if (status == kc::errSecSuccess) return true;
  if (status == kc::errSecItemNotFound) {
    return keychain->add(service, account, data, kc::Accessibility::whenUnlocked) ==
           kc::errSecSuccess;
  }
  Log::app().error("Keychain save refused (status %{public}d)", status);
  return false;
}

Keychain::ReadResult Keychain::read(const std::string& account) {
  const kc::CopyResult result = kc::current()->copyMatching(service, account);
  if (result.status == kc::errSecSuccess) {
    if (result.data) return ReadResult::found(*result.data);
    return ReadResult::failed(0);
  }
  if (result.status == kc::errSecItemNotFound) return ReadResult::absent();
  return ReadResult::failed(result.status);
}

std::optional<Bytes> Keychain::get(const std::string& account) {
  ReadResult result = read(account);
  if (!result.isFound()) return std::nullopt;
  return std::move(result.data);
}

bool Keychain::remove(const std::string& account) {
  return kc::current()->remove(service, account) == kc::errSecSuccess;
}

}  // namespace quorvel
