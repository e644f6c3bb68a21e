// The encryption service: sealed-box format, tamper detection, and the key's life in the
// Keychain (made once, never overwritten, retried while unavailable).
#include <thread>
#include <vector>

#include "foundation/crypto.hpp"
#include "foundation/keychain.hpp"
#include "platform/crypto/crypto.hpp"
#include "platform/keychain/keychain.hpp"
#include "support/B_helpers.hpp"
#include "support/platform_fixture.hpp"

namespace {

using quorvel::Bytes;
using quorvel::Crypto;
using quorvel::testing::bytes;
using quorvel::testing::simulatedKeychain;
namespace kc = platform::keychain;
namespace pc = platform::crypto;

pc::SymmetricKey testKey() { return *pc::SymmetricKey::random(256); }
std::optional<Bytes> storedKey() { return quorvel::testing::keychainValue("masterKey"); }

class CryptoTest : public quorvel::testing::PlatformTest {
 protected:
  // Every line logged so far is an error of the `app` logger, and `message` is among them.
  void expectAppErrors(const std::string& message) {
    for (const auto& entry : logs().entries()) {
      EXPECT_EQ(entry.category, "app") << entry.message;
      EXPECT_EQ(entry.level, platform::log::Level::Error) << entry.message;
    }
    EXPECT_TRUE(logs().contains(message)) << message;
  }
};

// A box is nonce, ciphertext and tag, with a fresh nonce each time; any altered, shortened or
// foreign box fails to open.
TEST_F(CryptoTest, BoxesAreFreshlyNoncedAndOpenOnlyWholeUnderTheirOwnKey) {
  Crypto crypto(testKey());
  for (const Bytes& plain : {Bytes{}, bytes("the quick brown fox")}) {
    const auto a = crypto.encrypt(plain);
    const auto b = crypto.encrypt(plain);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->size(), plain.size() + 28);
    EXPECT_NE(Bytes(a->begin(), a->begin() + 12), Bytes(b->begin(), b->begin() + 12));
    EXPECT_EQ(crypto.decrypt(*a), plain);
    EXPECT_EQ(crypto.decrypt(*b), plain);
  }
  const auto sealed = crypto.encrypt(bytes("faceprints"));
  ASSERT_TRUE(sealed);
  for (std::size_t i = 0; i < sealed->size(); ++i) {
    Bytes altered = *sealed;
    altered[i] ^= 0x01;
    EXPECT_FALSE(crypto.decrypt(altered)) << "byte " << i;
  }
  for (std::size_t length = 0; length < sealed->size(); ++length) {
    EXPECT_FALSE(crypto.decrypt(Bytes(sealed->begin(), sealed->begin() + length))) << length;
  }
  EXPECT_FALSE(Crypto(testKey()).decrypt(*sealed));
  EXPECT_EQ(simulatedKeychain().itemCount(), 0u);  // test keys never touch the Keychain
}

TEST_F(CryptoTest, MatchesKnownAesGcmAndSha256Vectors) {
  // AES-256-GCM, zero key, zero nonce, one zero block (the GCM paper's test case 14).
  Bytes combined(12, 0);
  const Bytes ciphertextAndTag = {0xce, 0xa7, 0x40, 0x3d, 0x4d, 0x60, 0x6b, 0x6e, 0x07, 0x4e, 0xc5,
                                  0xd3, 0xba, 0xf3, 0x9d, 0x18, 0xd0, 0xd1, 0xc8, 0xa7, 0x99, 0x99,
                                  0x6b, 0xf0, 0x26, 0x5b, 0x98, 0xb5, 0xd4, 0x8a, 0xb9, 0x19};
  combined.insert(combined.end(), ciphertextAndTag.begin(), ciphertextAndTag.end());
  EXPECT_EQ(pc::openAESGCM(pc::SymmetricKey(Bytes(32, 0)), combined), Bytes(16, 0));

  const auto abc = pc::sha256(bytes("abc"));
  const Bytes expected = {0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40,
                          0xde, 0x5d, 0xae, 0x22, 0x23, 0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17,
                          0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};
  EXPECT_EQ(Bytes(abc.begin(), abc.end()), expected);
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
  EXPECT_EQ(Crypto::makeShared()->decrypt(*sealed), bytes("hello"));
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
  // Creation of the shared instance, then once per call.
  const std::string invalid = "Encryption key has an invalid length; leaving it untouched";
  EXPECT_EQ(logs().messages("app"), std::vector<std::string>(3, invalid));
  expectAppErrors(invalid);
}

// A key that exists but cannot be read right now, or a new key that cannot be stored: encryption
// is off with an error and the Keychain untouched; each later use tries again and, once the
// Keychain answers, seals under the key it holds.
TEST_F(CryptoTest, WhileTheKeyCannotBeReadOrStoredNothingIsSealedAndEachUseRetries) {
  for (const bool unreadable : {true, false}) {
    SCOPED_TRACE(unreadable ? "unreadable" : "cannot be stored");
    TearDown();
    SetUp();
    const auto existing = testKey();
    if (unreadable) {
      simulatedKeychain().put(quorvel::Keychain::service, "masterKey", existing.bytes());
      simulatedKeychain().refuseReads(kc::errSecInteractionNotAllowed);
    } else {
      simulatedKeychain().refuseWrites(kc::errSecAuthFailed);
    }
    auto& crypto = Crypto::shared();
    EXPECT_FALSE(crypto.encrypt(bytes("x")));
    EXPECT_EQ(storedKey(), unreadable ? std::optional<Bytes>(existing.bytes()) : std::nullopt);
    EXPECT_EQ(simulatedKeychain().calls("add"), unreadable ? 0 : 2) << "tried at creation and at the use";
    expectAppErrors(unreadable ? "Encryption key unavailable (Keychain status -25308); leaving it untouched"
                               : "Could not save a new encryption key; encryption disabled");

    simulatedKeychain().clearFaults();
    const auto sealed = crypto.encrypt(bytes("x"));
    ASSERT_TRUE(sealed && storedKey());
    // Sealed under the key the Keychain holds: the existing one, or the one stored now.
    EXPECT_EQ(Crypto(unreadable ? existing : pc::SymmetricKey(*storedKey())).decrypt(*sealed), bytes("x"));
  }
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
