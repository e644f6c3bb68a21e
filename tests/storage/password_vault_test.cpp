// The login-password vault: sealed before it reaches the Keychain, read back as text.
#include "foundation/crypto.hpp"
#include "foundation/keychain.hpp"
#include "foundation/password_vault.hpp"
#include "platform/keychain/keychain.hpp"
#include "platform/shared.hpp"
#include "support/B_helpers.hpp"
#include "support/platform_fixture.hpp"

namespace {

using quorvel::Bytes;
using quorvel::PasswordVault;
using quorvel::testing::simulatedKeychain;
namespace kc = platform::keychain;

std::optional<Bytes> item() { return quorvel::testing::keychainValue("loginPassword"); }

class PasswordVaultTest : public quorvel::testing::PlatformTest {};

TEST_F(PasswordVaultTest, TheItemHoldsOnlyTheSealedUtf8BytesAndTheLastSetIsRead) {
  EXPECT_FALSE(PasswordVault::hasPassword());
  for (const std::string password : {"", "first", "pässwörd ✓ 🙂"}) {
    ASSERT_TRUE(PasswordVault::set(password));
    const auto sealed = item();
    ASSERT_TRUE(sealed);
    EXPECT_EQ(sealed->size(), password.size() + 28);
    EXPECT_EQ(quorvel::Crypto::shared().decrypt(*sealed), Bytes(password.begin(), password.end()));
    EXPECT_TRUE(PasswordVault::hasPassword());
    EXPECT_EQ(PasswordVault::read(), password);
  }
  // The item does not reveal the password; masterKey and loginPassword, nothing duplicated.
  const Bytes last = *item();
  EXPECT_EQ(std::string(last.begin(), last.end()).find("pässwörd"), std::string::npos);
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

TEST_F(PasswordVaultTest, UnderAnotherOrAMalformedKeyTheItemCountsButDoesNotOpen) {
  ASSERT_TRUE(PasswordVault::set("old"));
  const auto before = item();
  for (const Bytes& key : {platform::crypto::SymmetricKey::random(256)->bytes(), Bytes(5, 1)}) {
    // A fresh process with another key.
    platform::resetSharedInstances();
    simulatedKeychain().put(quorvel::Keychain::service, "masterKey", key);
    EXPECT_TRUE(PasswordVault::hasPassword());
    EXPECT_FALSE(PasswordVault::read());
  }
  // A malformed key turns encryption off: `set` fails and leaves the old item.
  EXPECT_FALSE(PasswordVault::set("new"));
  EXPECT_EQ(item(), before);
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
  for (const std::string& good : {std::string(), std::string("é€𝄞"), std::string("\0", 1)}) {
    EXPECT_TRUE(quorvel::isValidUTF8(good)) << good;
  }
  // Stray, truncated, overlong, surrogate, five-byte.
  for (const char* bad : {"\x80", "\xe2\x82", "\xe0\x80\x80", "\xed\xbf\xbf", "\xf8\x88\x80\x80\x80"}) {
    EXPECT_FALSE(quorvel::isValidUTF8(bad)) << bad;
  }
}

}  // namespace
