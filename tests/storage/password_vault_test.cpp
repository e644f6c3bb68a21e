// The login-password vault: sealed before it reaches the Keychain, read back as text.
#include "foundation/crypto.hpp"
#include "foundation/keychain.hpp"
#include "foundation/password_vault.hpp"
#include "platform/keychain/keychain.hpp"
#include "platform/shared.hpp"
#include "support/platform_fixture.hpp"
#include "support/storage_hooks.hpp"

namespace {

using quorvel::Bytes;
using quorvel::PasswordVault;
using quorvel::testing::simulatedKeychain;
namespace kc = platform::keychain;

class PasswordVaultTest : public quorvel::testing::PlatformTest {
 protected:
  std::optional<Bytes> item() {
    auto found = simulatedKeychain().item(quorvel::Keychain::service, "loginPassword");
    if (!found) return std::nullopt;
    return found->value;
  }
};

TEST_F(PasswordVaultTest, EmptyPasswordIsStoredSealedAndReadBack) {
  EXPECT_FALSE(PasswordVault::hasPassword());
  ASSERT_TRUE(PasswordVault::set(""));
  ASSERT_TRUE(item());
  EXPECT_EQ(item()->size(), 28u);
  EXPECT_TRUE(PasswordVault::hasPassword());
  EXPECT_EQ(PasswordVault::read(), "");
}

TEST_F(PasswordVaultTest, ItemHoldsOnlyTheSealedUtf8Bytes) {
  const std::string password = "pässwörd ✓ 🙂";
  ASSERT_TRUE(PasswordVault::set(password));
  const auto sealed = item();
  ASSERT_TRUE(sealed);
  EXPECT_EQ(sealed->size(), password.size() + 28);
  // The item does not reveal the password.
  const std::string raw(sealed->begin(), sealed->end());
  EXPECT_EQ(raw.find("pässwörd"), std::string::npos);
  EXPECT_EQ(quorvel::Crypto::shared().decrypt(*sealed), Bytes(password.begin(), password.end()));
  EXPECT_EQ(PasswordVault::read(), password);
}

TEST_F(PasswordVaultTest, SecondSetReplacesTheFirst) {
  ASSERT_TRUE(PasswordVault::set("first"));
  ASSERT_TRUE(PasswordVault::set("second"));
  EXPECT_EQ(PasswordVault::read(), "second");
  // masterKey and loginPassword, nothing duplicated.
  EXPECT_EQ(simulatedKeychain().itemCount(), 2u);
}

TEST_F(PasswordVaultTest, ClearRemovesThePasswordAndIsQuietWithoutOne) {
  PasswordVault::clear();
  EXPECT_TRUE(logs().messages().empty());
  ASSERT_TRUE(PasswordVault::set("secret"));
  PasswordVault::clear();
  EXPECT_FALSE(PasswordVault::hasPassword());
  EXPECT_FALSE(PasswordVault::read());
  EXPECT_FALSE(item());
}

TEST_F(PasswordVaultTest, WithoutEncryptionSetFailsAndLeavesTheOldItem) {
  ASSERT_TRUE(PasswordVault::set("old"));
  const auto before = item();
  // A fresh process whose key is malformed: encryption is off.
  platform::resetSharedInstances();
  simulatedKeychain().put(quorvel::Keychain::service, "masterKey", Bytes(5, 1));
  EXPECT_FALSE(PasswordVault::set("new"));
  EXPECT_EQ(item(), before);
  // The item still counts, but cannot be opened.
  EXPECT_TRUE(PasswordVault::hasPassword());
  EXPECT_FALSE(PasswordVault::read());
}

TEST_F(PasswordVaultTest, ItemSealedUnderAnotherKeyCountsButDoesNotOpen) {
  ASSERT_TRUE(PasswordVault::set("secret"));
  platform::resetSharedInstances();
  simulatedKeychain().put(quorvel::Keychain::service, "masterKey",
                          platform::crypto::SymmetricKey::random(256)->bytes());
  EXPECT_TRUE(PasswordVault::hasPassword());
  EXPECT_FALSE(PasswordVault::read());
}

TEST_F(PasswordVaultTest, KeychainReadErrorLooksLikeNoPassword) {
  ASSERT_TRUE(PasswordVault::set("secret"));
  simulatedKeychain().refuseReads(kc::errSecAuthFailed, "loginPassword");
  EXPECT_FALSE(PasswordVault::hasPassword());
  EXPECT_FALSE(PasswordVault::read());
  simulatedKeychain().clearFaults();
  simulatedKeychain().answerSuccessWithoutData(true, "loginPassword");
  EXPECT_FALSE(PasswordVault::hasPassword());
}

TEST_F(PasswordVaultTest, RefusedKeychainWriteReportsFalse) {
  ASSERT_TRUE(PasswordVault::set("old"));
  simulatedKeychain().refuseWrites(kc::errSecAuthFailed, "loginPassword");
  EXPECT_FALSE(PasswordVault::set("new"));
  simulatedKeychain().clearFaults();
  EXPECT_EQ(PasswordVault::read(), "old");
  EXPECT_TRUE(logs().contains("Keychain save refused (status -25293)"));
}

TEST_F(PasswordVaultTest, TextThatIsNotUtf8IsRefusedWhenSetAndUnreadable) {
  ASSERT_TRUE(PasswordVault::set("x"));  // makes the key
  const std::string bads[] = {"\xff", "a\xc3", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80"};
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

TEST(Utf8Validation, AcceptsWellFormedAndRejectsMalformedText) {
  EXPECT_TRUE(quorvel::isValidUTF8(""));
  EXPECT_TRUE(quorvel::isValidUTF8("plain"));
  EXPECT_TRUE(quorvel::isValidUTF8("é€𝄞"));
  EXPECT_TRUE(quorvel::isValidUTF8(std::string("\0", 1)));
  EXPECT_FALSE(quorvel::isValidUTF8("\x80"));
  EXPECT_FALSE(quorvel::isValidUTF8("\xe2\x82"));        // truncated
  EXPECT_FALSE(quorvel::isValidUTF8("\xe0\x80\x80"));    // overlong
  EXPECT_FALSE(quorvel::isValidUTF8("\xed\xbf\xbf"));    // surrogate
  EXPECT_FALSE(quorvel::isValidUTF8("\xf8\x88\x80\x80\x80"));
}

}  // namespace
