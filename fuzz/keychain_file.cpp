// The keychain file store (keychain.json, used where no Secret Service runs): its items, and
// the app password's record that one of them holds. (Secret Service replies are parsed by
// libsecret, not by us.)
#include "foundation/quorvel_password.hpp"
#include "fuzz_input.hpp"
#include "platform/encoding/base64.hpp"
#include "platform/keychain/file_keychain.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using platform::keychain::FileKeychain;
  FileKeychain::Items items;
  if (!FileKeychain::decodeItems(platform::keychain::Bytes(data, data + size), items)) return 0;
  for (const auto& [key, stored] : items) {
    (void)platform::keychain::accessibilityFromAttribute(stored.accessible);
    if (const auto record = quorvel::QuorvelPassword::decodeRecord(stored.value)) {
      FUZZ_CHECK(platform::encoding::base64Decode(platform::encoding::base64Encode(record->salt)) ==
                 record->salt);
    }
    FUZZ_CHECK(platform::encoding::base64Decode(platform::encoding::base64Encode(stored.value)) ==
               stored.value);
  }
  return 0;
}
