// The encryption service: sealed-box format, tamper detection, and the key's life in the
// Keychain (made once, never overwritten, retried while unavailable).
#include <thread>
#include <vector>

#include "foundation/crypto.hpp"
#include "foundation/keychain.hpp"
#include "platform/crypto/crypto.hpp"
#include "platform/keychain/keychain.hpp"
#include "support/platform_fixture.hpp"
#include "support/storage_hooks.hpp"

namespace {

using quorvel::Bytes;
using quorvel::Crypto;
using quorvel::testing::simulatedKeychain;
namespace kc = platform::keychain;
namespace pc = platform::crypto;

Bytes bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }
pc::SymmetricKey testKey() { return *pc::SymmetricKey::random(256); }

class CryptoTest : public quorvel::testing::PlatformTest {
 protected:
  // Every line logged so far is an error of the `app` logger, and `message` is among them.
  void expectAppErrors(const std::string& message) {
    bool found = false;
    for (const auto& entry : logs().entries()) {
      EXPECT_EQ(entry.category, "app") << entry.message;
      EXPECT_EQ(entry.level, platform::log::Level::Error) << entry.message;
      found = found || entry.message == message;
    }
    EXPECT_TRUE(found) << message;
  }

  std::optional<Bytes> storedKey() {
    auto item = simulatedKeychain().item(quorvel::Keychain::service, "masterKey");
    if (!item) return std::nullopt;
    return item->value;
  }
};

TEST_F(CryptoTest, EmptyPlaintextSealsTo28BytesAndOpensBack) {
  Crypto crypto(testKey());
  const auto sealed = crypto.encrypt({});
  ASSERT_TRUE(sealed);
  EXPECT_EQ(sealed->size(), 28u);
  const auto opened = crypto.decrypt(*sealed);
  ASSERT_TRUE(opened);
  EXPECT_TRUE(opened->empty());
}

TEST_F(CryptoTest, SealingTwiceUsesFreshNoncesAndBothOpen) {
  Crypto crypto(testKey());
  const Bytes plain = bytes("the quick brown fox");
  const auto a = crypto.encrypt(plain);
  const auto b = crypto.encrypt(plain);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->size(), plain.size() + 28);
  EXPECT_NE(*a, *b);
  EXPECT_NE(Bytes(a->begin(), a->begin() + 12), Bytes(b->begin(), b->begin() + 12));
  EXPECT_EQ(crypto.decrypt(*a), plain);
  EXPECT_EQ(crypto.decrypt(*b), plain);
}

TEST_F(CryptoTest, AnyAlteredOrShortenedBoxFailsToOpen) {
  Crypto crypto(testKey());
  const Bytes plain = bytes("faceprints");
  const auto sealed = crypto.encrypt(plain);
  ASSERT_TRUE(sealed);
  for (std::size_t i = 0; i < sealed->size(); ++i) {
    Bytes altered = *sealed;
    altered[i] ^= 0x01;
    EXPECT_FALSE(crypto.decrypt(altered)) << "byte " << i;
  }
  Bytes shortened(sealed->begin(), sealed->end() - 1);
  EXPECT_FALSE(crypto.decrypt(shortened));
  for (std::size_t length = 0; length < 28; ++length) {
    EXPECT_FALSE(crypto.decrypt(Bytes(sealed->begin(), sealed->begin() + length))) << length;
  }
}

TEST_F(CryptoTest, BoxOfOneKeyDoesNotOpenUnderAnother) {
  Crypto first(testKey());
  Crypto second(testKey());
  const auto sealed = first.encrypt(bytes("secret"));
  ASSERT_TRUE(sealed);
  EXPECT_FALSE(second.decrypt(*sealed));
  EXPECT_EQ(simulatedKeychain().itemCount(), 0u);  // test keys never touch the Keychain
}

TEST_F(CryptoTest, MatchesAKnownAesGcmVector) {
  // AES-256-GCM, zero key, zero nonce, one zero block (the GCM paper's test case 14).
  const Bytes zeroKey(32, 0);
  Bytes combined(12, 0);
  const Bytes ciphertext = {0xce, 0xa7, 0x40, 0x3d, 0x4d, 0x60, 0x6b, 0x6e,
                            0x07, 0x4e, 0xc5, 0xd3, 0xba, 0xf3, 0x9d, 0x18};
  const Bytes tag = {0xd0, 0xd1, 0xc8, 0xa7, 0x99, 0x99, 0x6b, 0xf0,
                     0x26, 0x5b, 0x98, 0xb5, 0xd4, 0x8a, 0xb9, 0x19};
  combined.insert(combined.end(), ciphertext.begin(), ciphertext.end());
  combined.insert(combined.end(), tag.begin(), tag.end());
  const auto opened = pc::openAESGCM(pc::SymmetricKey(zeroKey), combined);
  ASSERT_TRUE(opened);
  EXPECT_EQ(*opened, Bytes(16, 0));
}

TEST_F(CryptoTest, Sha256MatchesKnownDigests) {
  const auto abc = pc::sha256(bytes("abc"));
  const Bytes expected = {0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40,
                          0xde, 0x5d, 0xae, 0x22, 0x23, 0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17,
                          0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};
  EXPECT_EQ(Bytes(abc.begin(), abc.end()), expected);
  const auto empty = pc::sha256({});
  EXPECT_EQ(empty[0], 0xe3);
  EXPECT_EQ(empty[31], 0x55);
}

TEST_F(CryptoTest, FirstUseStoresOneKeyThatLaterInstancesReuse) {
  const auto sealed = Crypto::shared().encrypt(bytes("hello"));
  ASSERT_TRUE(sealed);
  const auto key = storedKey();
  ASSERT_TRUE(key);
  EXPECT_EQ(key->size(), 32u);
  EXPECT_EQ(simulatedKeychain().item(quorvel::Keychain::service, "masterKey")->accessibility,
            kc::Accessibility::whenUnlocked);
  // A new instance (as in a later process) reads the same key and opens the box.
  const auto fresh = Crypto::makeShared();
  EXPECT_EQ(fresh->decrypt(*sealed), bytes("hello"));
  EXPECT_EQ(storedKey(), key);
  EXPECT_EQ(simulatedKeychain().calls("add"), 1);
  EXPECT_TRUE(logs().messages().empty());
}

TEST_F(CryptoTest, MalformedKeyTurnsEncryptionOffAndIsNeverOverwritten) {
  simulatedKeychain().put(quorvel::Keychain::service, "masterKey", Bytes(16, 7));
  auto& crypto = Crypto::shared();
  EXPECT_FALSE(crypto.encrypt(bytes("x")));
  EXPECT_FALSE(crypto.decrypt(Bytes(40, 0)));
  EXPECT_EQ(storedKey(), Bytes(16, 7));
  EXPECT_EQ(simulatedKeychain().calls("add"), 0);
  EXPECT_EQ(simulatedKeychain().calls("update"), 0);
  const auto messages = logs().messages("app");
  // Creation of the shared instance, then once per call.
  ASSERT_EQ(messages.size(), 3u);
  for (const auto& message : messages) {
    EXPECT_EQ(message, "Encryption key has an invalid length; leaving it untouched");
  }
  expectAppErrors("Encryption key has an invalid length; leaving it untouched");
}

TEST_F(CryptoTest, UnreadableKeyIsRetriedUntilTheKeychainAnswers) {
  Crypto other(testKey());
  ASSERT_TRUE(simulatedKeychain().item(quorvel::Keychain::service, "masterKey") == std::nullopt);
  // A key exists but cannot be read right now.
  const auto existing = *pc::SymmetricKey::random(256);
  simulatedKeychain().put(quorvel::Keychain::service, "masterKey", existing.bytes());
  simulatedKeychain().refuseReads(kc::errSecInteractionNotAllowed);
  auto& crypto = Crypto::shared();
  EXPECT_FALSE(crypto.encrypt(bytes("x")));
  EXPECT_EQ(storedKey(), existing.bytes());
  EXPECT_EQ(simulatedKeychain().calls("add"), 0);
  expectAppErrors("Encryption key unavailable (Keychain status -25308); leaving it untouched");

  simulatedKeychain().clearFaults();
  const auto sealed = crypto.encrypt(bytes("x"));
  ASSERT_TRUE(sealed);
  // Sealed under the existing key: another instance over that key opens it.
  Crypto sameKey(existing);
  EXPECT_EQ(sameKey.decrypt(*sealed), bytes("x"));
  EXPECT_FALSE(other.decrypt(*sealed));
}

TEST_F(CryptoTest, KeyThatCannotBeStoredIsNeverUsed) {
  simulatedKeychain().refuseWrites(kc::errSecAuthFailed);
  auto& crypto = Crypto::shared();
  EXPECT_FALSE(crypto.encrypt(bytes("x")));
  expectAppErrors("Could not save a new encryption key; encryption disabled");
  EXPECT_FALSE(storedKey());

  // Once the Keychain accepts the key, encryption turns itself on with the stored key.
  simulatedKeychain().clearFaults();
  const auto sealed = crypto.encrypt(bytes("x"));
  ASSERT_TRUE(sealed);
  const auto key = storedKey();
  ASSERT_TRUE(key);
  Crypto sameKey{pc::SymmetricKey(*key)};
  EXPECT_EQ(sameKey.decrypt(*sealed), bytes("x"));
}

TEST_F(CryptoTest, ThreadsFindingNoKeyMakeOnlyOne) {
  simulatedKeychain().refuseReads(kc::errSecInteractionNotAllowed);
  auto& crypto = Crypto::shared();  // created while the key cannot be read
  simulatedKeychain().clearFaults();
  std::vector<std::thread> threads;
  std::vector<std::optional<Bytes>> results(8);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] { results[t] = crypto.encrypt(bytes("t" + std::to_string(t))); });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(simulatedKeychain().calls("add"), 1);
  Crypto sameKey{pc::SymmetricKey(*storedKey())};
  for (int t = 0; t < 8; ++t) {
    ASSERT_TRUE(results[t]);
    EXPECT_EQ(sameKey.decrypt(*results[t]), bytes("t" + std::to_string(t)));
  }
}

}  // namespace
