// The passwords in the Keychain: the login password's vault (sealed before it reaches the
// Keychain, read back as text), and the app password (salted hash record, the older two-item
// form, and erring towards "set").
#include "foundation/crypto.hpp"
#include "foundation/keychain.hpp"
#include "foundation/password_vault.hpp"
#include "foundation/quorvel_password.hpp"
#include "platform/crypto/crypto.hpp"
#include "platform/encoding/base64.hpp"
#include "platform/keychain/keychain.hpp"
#include "platform/shared.hpp"
#include "support/B_helpers.hpp"
#include "support/platform_fixture.hpp"

namespace {

using quorvel::Bytes;
using quorvel::Keychain;
using quorvel::PasswordVault;
using quorvel::QuorvelPassword;
using quorvel::testing::bytes;
using quorvel::testing::simulatedKeychain;
namespace kc = platform::keychain;

std::optional<Bytes> loginItem() { return quorvel::testing::keychainValue("loginPassword"); }

Bytes hashOf(const Bytes& salt, const std::string& password) {
  Bytes input = salt;
  input.insert(input.end(), password.begin(), password.end());
  const auto digest = platform::crypto::sha256(input);
  return Bytes(digest.begin(), digest.end());
}

class QuorvelPasswordTest : public quorvel::testing::PlatformTest {
 protected:
  std::optional<Bytes> item(const std::string& account) { return quorvel::testing::keychainValue(account); }
  void storeLegacy(const std::string& password, const Bytes& salt) {
    simulatedKeychain().put(Keychain::service, "quorvelPasswordSalt", salt);
    simulatedKeychain().put(Keychain::service, "quorvelPasswordHash", hashOf(salt, password));
  }
  void storeRecord(const std::string& json) {
    simulatedKeychain().put(Keychain::service, "quorvelPasswordRecord", bytes(json));
  }
};

TEST_F(QuorvelPasswordTest, SetStoresASaltedHashRecordThatVerifiesOnlyTheSameText) {
  EXPECT_FALSE(QuorvelPassword::isSet());
  EXPECT_FALSE(QuorvelPassword::verify(""));
  ASSERT_TRUE(QuorvelPassword::set("Open Sesame"));
  EXPECT_TRUE(QuorvelPassword::isSet());
  EXPECT_TRUE(QuorvelPassword::verify("Open Sesame"));
  for (const char* wrong : {"open Sesame", "Open Sesame ", ""}) EXPECT_FALSE(QuorvelPassword::verify(wrong));

  const auto stored = *item("quorvelPasswordRecord");
  const auto record = QuorvelPassword::decodeRecord(stored);
  ASSERT_TRUE(record);
  ASSERT_EQ(record->salt.size(), 16u);
  EXPECT_EQ(record->hash, hashOf(record->salt, "Open Sesame"));
  EXPECT_EQ(std::string(stored.begin(), stored.end()), QuorvelPassword::encodeRecord(record->salt, record->hash));
  // Compact, salt before hash, the solidus escaped as the platform's encoder does.
  std::string slashes;
  for (int i = 0; i < 20; ++i) slashes += "\\/";  // Base64 of fifteen 0xff bytes
  EXPECT_EQ(QuorvelPassword::encodeRecord(Bytes(15, 0xff), Bytes(3, 0xfb)),
            "{\"salt\":\"" + slashes + "\",\"hash\":\"+\\/v7\"}");

  // The same password again gets a new salt; the empty password is a password.
  ASSERT_TRUE(QuorvelPassword::set("Open Sesame"));
  EXPECT_NE(QuorvelPassword::decodeRecord(*item("quorvelPasswordRecord"))->salt, record->salt);
  EXPECT_TRUE(QuorvelPassword::verify("Open Sesame"));
  ASSERT_TRUE(QuorvelPassword::set(""));
  EXPECT_TRUE(QuorvelPassword::verify(""));
  EXPECT_FALSE(QuorvelPassword::verify(" "));
}

TEST_F(QuorvelPasswordTest, TheOlderPairIsUsedUntilARecordExistsAndClearRemovesEverything) {
  // A salt alone is not a password; a hash alone is, but never verifies.
  simulatedKeychain().put(Keychain::service, "quorvelPasswordSalt", Bytes(16, 1));
  EXPECT_FALSE(QuorvelPassword::isSet());
  EXPECT_FALSE(QuorvelPassword::verify(""));
  ASSERT_TRUE(Keychain::remove("quorvelPasswordSalt"));
  simulatedKeychain().put(Keychain::service, "quorvelPasswordHash", hashOf({}, "x"));
  EXPECT_TRUE(QuorvelPassword::isSet());
  EXPECT_FALSE(QuorvelPassword::verify("x"));

  storeLegacy("pin", Bytes(3, 9));  // compared without length checks: an odd-sized salt verifies
  EXPECT_TRUE(QuorvelPassword::verify("pin"));
  storeLegacy("old secret", Bytes(16, 3));
  EXPECT_TRUE(QuorvelPassword::verify("old secret"));
  EXPECT_FALSE(QuorvelPassword::verify("new secret"));
  ASSERT_TRUE(QuorvelPassword::set("new secret"));
  EXPECT_TRUE(QuorvelPassword::verify("new secret"));
  EXPECT_FALSE(QuorvelPassword::verify("old secret"));
  // The older items are left alone by `set`, and removed with the record by `clear`.
  EXPECT_TRUE(item("quorvelPasswordSalt") && item("quorvelPasswordHash"));
  QuorvelPassword::clear();
  EXPECT_FALSE(QuorvelPassword::isSet());
  for (const char* account : {"quorvelPasswordRecord", "quorvelPasswordSalt", "quorvelPasswordHash"}) {
    EXPECT_FALSE(item(account)) << account;
  }
  QuorvelPassword::clear();  // nothing left: quiet
  EXPECT_TRUE(logs().messages().empty());
}

TEST_F(QuorvelPasswordTest, AnItemThatCannotBeReadOrAMalformedRecordCountsAsSetAndVerifiesNothing) {
  ASSERT_TRUE(QuorvelPassword::set("secret"));
  simulatedKeychain().refuseReads(kc::errSecAuthFailed, "quorvelPasswordRecord");
  EXPECT_TRUE(QuorvelPassword::isSet());
  EXPECT_FALSE(QuorvelPassword::verify("secret"));
  // Even with an older pair present: a record that cannot be read is never bypassed.
  storeLegacy("legacy", Bytes(16, 4));
  EXPECT_FALSE(QuorvelPassword::verify("legacy"));

  simulatedKeychain().clearFaults();
  simulatedKeychain().answerSuccessWithoutData(true, "quorvelPasswordRecord");
  EXPECT_TRUE(QuorvelPassword::isSet());
  EXPECT_FALSE(QuorvelPassword::verify("secret"));

  // An older hash that cannot be read, without a record.
  simulatedKeychain().clearFaults();
  QuorvelPassword::clear();
  simulatedKeychain().refuseReads(kc::errSecInteractionNotAllowed, "quorvelPasswordHash");
  EXPECT_TRUE(QuorvelPassword::isSet());
  EXPECT_FALSE(QuorvelPassword::verify(""));

  simulatedKeychain().clearFaults();
  const Bytes salt(16, 5);
  const std::string salt64 = platform::encoding::base64Encode(salt);
  const std::string hash64 = platform::encoding::base64Encode(hashOf(salt, "pw"));
  const std::string shortHash64 = platform::encoding::base64Encode(Bytes(31, 1));
  const std::vector<std::string> malformed = {
      "not json",
      "[]",
      "{}",
      "{\"salt\":\"" + salt64 + "\"}",
      "{\"salt\":1,\"hash\":\"" + hash64 + "\"}",
      "{\"salt\":\"" + salt64 + "\",\"hash\":null}",
      "{\"salt\":\"" + salt64 + "!\",\"hash\":\"" + hash64 + "\"}",
      "{\"salt\":\"" + salt64.substr(0, salt64.size() - 2) + "\",\"hash\":\"" + hash64 + "\"}",
      "{\"salt\":\"" + platform::encoding::base64Encode(Bytes(15, 5)) + "\",\"hash\":\"" + hash64 + "\"}",
      "{\"salt\":\"" + salt64 + "\",\"hash\":\"" + shortHash64 + "\"}",
  };
  for (const auto& json : malformed) {
    storeRecord(json);
    EXPECT_TRUE(QuorvelPassword::isSet()) << json;
    EXPECT_FALSE(QuorvelPassword::verify("pw")) << json;
  }
  // The well-formed record (members in any order, extra members ignored) verifies.
  storeRecord("{\"extra\":true,\"hash\":\"" + hash64 + "\",\"salt\":\"" + salt64 + "\"}");
  EXPECT_TRUE(QuorvelPassword::verify("pw"));
  // A new `set` replaces a malformed record.
  storeRecord("garbage");
  ASSERT_TRUE(QuorvelPassword::set("fresh"));
  EXPECT_TRUE(QuorvelPassword::verify("fresh"));
}

TEST_F(QuorvelPasswordTest, ARefusedWriteReportsFalseAndKeepsBothOldPasswords) {
  ASSERT_TRUE(QuorvelPassword::set("old"));
  ASSERT_TRUE(PasswordVault::set("old"));
  simulatedKeychain().refuseWrites(kc::errSecAuthFailed);
  EXPECT_FALSE(QuorvelPassword::set("new"));
  EXPECT_FALSE(PasswordVault::set("new"));
  simulatedKeychain().clearFaults();
  EXPECT_TRUE(QuorvelPassword::verify("old"));
  EXPECT_EQ(PasswordVault::read(), "old");
  EXPECT_EQ(logs().messages(), std::vector<std::string>(2, "Keychain save refused (status -25293)"));
}

// --- the login password's vault -------------------------------------------------------------

class PasswordVaultTest : public quorvel::testing::PlatformTest {};

TEST_F(PasswordVaultTest, TheItemHoldsOnlyTheSealedUtf8BytesTheLastSetIsReadAndClearRemovesIt) {
  EXPECT_FALSE(PasswordVault::hasPassword());
  PasswordVault::clear();  // nothing to remove: quiet
  for (const std::string password : {"", "first", "pässwörd ✓ 🙂"}) {
    ASSERT_TRUE(PasswordVault::set(password));
    const auto sealed = loginItem();
    ASSERT_TRUE(sealed);
    EXPECT_EQ(sealed->size(), password.size() + 28);
    EXPECT_EQ(quorvel::Crypto::shared().decrypt(*sealed), Bytes(password.begin(), password.end()));
    EXPECT_TRUE(PasswordVault::hasPassword());
    EXPECT_EQ(PasswordVault::read(), password);
  }
  // The item does not reveal the password; masterKey and loginPassword, nothing duplicated.
  const Bytes last = *loginItem();
  EXPECT_EQ(std::string(last.begin(), last.end()).find("pässwörd"), std::string::npos);
  EXPECT_EQ(simulatedKeychain().itemCount(), 2u);
  PasswordVault::clear();
  EXPECT_FALSE(PasswordVault::hasPassword());
  EXPECT_FALSE(PasswordVault::read());
  EXPECT_FALSE(loginItem());
  EXPECT_TRUE(logs().messages().empty());
}

// An item the Keychain cannot give looks like no password; one it gives that does not open
// under the key counts as a password, but cannot be read.
TEST_F(PasswordVaultTest, AKeychainReadErrorIsNoPasswordAndAnItemUnderAnotherOrAMalformedKeyDoesNotOpen) {
  ASSERT_TRUE(PasswordVault::set("old"));
  simulatedKeychain().refuseReads(kc::errSecAuthFailed, "loginPassword");
  EXPECT_FALSE(PasswordVault::hasPassword());
  EXPECT_FALSE(PasswordVault::read());
  simulatedKeychain().clearFaults();
  simulatedKeychain().answerSuccessWithoutData(true, "loginPassword");
  EXPECT_FALSE(PasswordVault::hasPassword());
  simulatedKeychain().clearFaults();

  const auto before = loginItem();
  for (const Bytes& key : {platform::crypto::SymmetricKey::random(256)->bytes(), Bytes(5, 1)}) {
    // A fresh process with another key.
    platform::resetSharedInstances();
    simulatedKeychain().put(quorvel::Keychain::service, "masterKey", key);
    EXPECT_TRUE(PasswordVault::hasPassword());
    EXPECT_FALSE(PasswordVault::read());
  }
  // A malformed key turns encryption off: `set` fails and leaves the old item.
  EXPECT_FALSE(PasswordVault::set("new"));
  EXPECT_EQ(loginItem(), before);
}

TEST_F(PasswordVaultTest, TextThatIsNotUtf8IsRefusedWhenSetAndUnreadable) {
  ASSERT_TRUE(PasswordVault::set("x"));  // makes the key
  // Invalid, stray, truncated, overlong, surrogate, beyond U+10FFFF, five-byte. (Embedded NUL and
  // every range's edges are set and typed in the unlocker's tests.)
  const std::string bads[] = {"\xff",         "\x80",         "a\xc3",         "\xe2\x82",
                              "\xc0\xaf",      "\xe0\x80\x80", "\xed\xa0\x80", "\xed\xbf\xbf",
                              "\xf4\x90\x80\x80", "\xf8\x88\x80\x80\x80"};
  // Never stored as saved, since it could never be read back; the earlier password stays.
  for (const std::string& bad : bads) EXPECT_FALSE(PasswordVault::set(bad));
  EXPECT_EQ(PasswordVault::read(), "x");
  for (const std::string& bad : bads) {
    const auto sealed = quorvel::Crypto::shared().encrypt(Bytes(bad.begin(), bad.end()));
    ASSERT_TRUE(sealed);
    ASSERT_TRUE(quorvel::Keychain::set(*sealed, "loginPassword"));
    EXPECT_FALSE(PasswordVault::read());
  }
}

TEST(Base64, RoundTripsAndRejectsWhatThePlatformRejects) {
  for (std::size_t n = 0; n < 40; ++n) {
    Bytes data(n);
    for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<std::uint8_t>(i * 37 + n);
    const auto text = platform::encoding::base64Encode(data);
    EXPECT_EQ(text.size() % 4, 0u);
    EXPECT_EQ(platform::encoding::base64Decode(text), data) << n;
  }
  EXPECT_EQ(platform::encoding::base64Encode(bytes("foobar")), "Zm9vYmFy");
  EXPECT_EQ(platform::encoding::base64Encode(bytes("fo")), "Zm8=");
  // Unpadded, whitespace, padding inside or before the end, the URL alphabet.
  for (const char* text : {"Zm8", "Zm8=\n", "Z=8=", "====", "Zm8=Zm8=", "Zm-_"}) {
    EXPECT_FALSE(platform::encoding::base64Decode(text)) << text;
  }
}

}  // namespace
