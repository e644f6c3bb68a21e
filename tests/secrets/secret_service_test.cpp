// The keychain's linux layer against a real gnome-keyring-daemon on a private session bus:
// item operations and their statuses, a locked collection, a daemon that goes away or
// freezes, the move of the file store's items, and the file fallback without a Secret Service.
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>

#include "foundation/crypto.hpp"
#include "foundation/keychain.hpp"
#include "platform/keychain/keychain_linux.hpp"
#include "support/B_helpers.hpp"
#include "support/platform_fixture.hpp"
#include "support/private_keyring.hpp"

namespace {

namespace kc = platform::keychain;
using quorvel::Bytes;
using quorvel::Keychain;
using Store = kc::LinuxKeychain::Store;
using Strings = std::vector<std::string>;
constexpr auto kUnlocked = kc::Accessibility::whenUnlocked;
constexpr const char* kService = Keychain::service;

using quorvel::testing::bytes;
using quorvel::testing::fileText;

class SecretServiceTest : public quorvel::testing::PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    keyring_ = std::make_unique<quorvel::testing::PrivateKeyring>(home());
    ASSERT_TRUE(keyring_->running()) << "dbus-daemon did not start (scripts/setup installs it)";
  }
  void TearDown() override {
    kc::install(nullptr);
    keyring_.reset();
    PlatformTest::TearDown();
  }
  void startKeyring(const std::optional<std::string>& password = "test password") {
    ASSERT_TRUE(keyring_->startKeyring(password)) << "gnome-keyring-daemon did not start";
  }
  std::string path() const { return home() + "/data/com.tessmin.quorvel/keychain.json"; }
  int logLines(const std::string& text) {
    int count = 0;
    for (const auto& message : logs().messages()) count += message.find(text) != std::string::npos;
    return count;
  }

  const Bytes key = Bytes(32, 0xA5);
  kc::SecretServiceKeychain::Options options{std::chrono::seconds(5)};  // the machine is shared
  std::unique_ptr<quorvel::testing::PrivateKeyring> keyring_;
};

TEST_F(SecretServiceTest, ItemsAreAddedReadUpdatedAndDeletedWithTheKeychainStatuses) {
  startKeyring();
  kc::SecretServiceKeychain keychain(options);
  EXPECT_EQ(keychain.copyMatching("s", "a").status, kc::errSecItemNotFound);
  EXPECT_EQ(keychain.update("s", "a", bytes("x")), kc::errSecItemNotFound);
  EXPECT_EQ(keychain.remove("s", "a"), kc::errSecItemNotFound);

  Bytes binary;
  for (int i = 0; i < 256; ++i) binary.push_back(static_cast<std::uint8_t>(i));
  EXPECT_EQ(keychain.add("s", "a", binary, kUnlocked), kc::errSecSuccess);
  EXPECT_EQ(keychain.add("s", "a", bytes("y"), kUnlocked), kc::errSecDuplicateItem);
  EXPECT_EQ(keychain.copyMatching("s", "a").data, binary);
  EXPECT_EQ(keychain.update("s", "a", Bytes{}), kc::errSecSuccess);
  EXPECT_EQ(keychain.copyMatching("s", "a").data, Bytes{});
  EXPECT_EQ(keyring_->countItems({{"xdg:schema", "com.tessmin.quorvel.GenericPassword"},
                                  {"service", "s"},
                                  {"account", "a"},
                                  {"accessible", "ak"}}),
            1);
  EXPECT_EQ(keychain.copyMatching("other", "a").status, kc::errSecItemNotFound);
  EXPECT_EQ(keychain.add("s", "\xff", bytes("x"), kUnlocked), kc::errSecParam);

  EXPECT_EQ(keychain.remove("s", "a"), kc::errSecSuccess);
  EXPECT_EQ(keychain.copyMatching("s", "a").status, kc::errSecItemNotFound);
  EXPECT_EQ(keyring_->countItems({{"service", "s"}}), 0);
}

TEST_F(SecretServiceTest, WithoutADefaultCollectionNothingIsAdded) {
  startKeyring(std::nullopt);  // a fresh daemon without a login keyring
  kc::SecretServiceKeychain keychain(options);
  EXPECT_EQ(keychain.add("s", "a", bytes("x"), kUnlocked), kc::errSecNoDefaultKeychain);
  EXPECT_EQ(keychain.copyMatching("s", "a").status, kc::errSecItemNotFound);
}

TEST_F(SecretServiceTest, TheKeyLivesInTheSecretServiceAndALockedOrGoneDaemonFailsTheCalls) {
  startKeyring();
  const auto keychain = std::make_shared<kc::LinuxKeychain>(path(), options);
  kc::install(keychain);
  const auto sealed = quorvel::Crypto::shared().encrypt(bytes("sealed"));
  ASSERT_TRUE(sealed && Keychain::set(*sealed, "loginPassword"));
  EXPECT_EQ(keychain->store(), Store::secretService);
  EXPECT_EQ(keyring_->countItems({{"service", kService}}), 2);  // masterKey, loginPassword
  EXPECT_FALSE(std::filesystem::exists(path())) << "no key on disk beside the faceprints";

  // A locked collection fails every call and is never absent.
  ASSERT_TRUE(keyring_->lockDefaultCollection());
  auto read = Keychain::read("loginPassword");
  EXPECT_TRUE(read.isFailed());
  EXPECT_EQ(read.status, kc::errSecInteractionNotAllowed);
  EXPECT_FALSE(Keychain::set(bytes("new"), "loginPassword"));
  EXPECT_FALSE(Keychain::create(key, "masterKey"));
  EXPECT_FALSE(Keychain::remove("loginPassword"));
  EXPECT_EQ(logs().messages(), Strings{"Keychain save refused (status -25308)"});
  keyring_->stopKeyring();  // unlocked again by a restart with the password
  startKeyring();

  // A daemon that goes away fails the calls, and the file is never used instead.
  logs().clear();
  keyring_->signalKeyring(SIGKILL);
  read = Keychain::read("loginPassword");
  EXPECT_TRUE(read.isFailed());
  EXPECT_EQ(read.status, kc::errSecNotAvailable);
  EXPECT_FALSE(Keychain::set(bytes("new"), "loginPassword"));
  EXPECT_EQ(logs().messages(), Strings{"Keychain save refused (status -25291)"});
  EXPECT_FALSE(std::filesystem::exists(path())) << "never falls back to the file";

  startKeyring();  // nothing was lost
  EXPECT_EQ(quorvel::Crypto::shared().decrypt(Keychain::get("loginPassword").value_or(Bytes{})),
            bytes("sealed"));
}

TEST_F(SecretServiceTest, AFrozenDaemonIsAnsweredAsFailedOnTime) {
  startKeyring();
  // Connected with a patient time-out: a loaded machine may take a while for that.
  kc::SecretServiceKeychain keychain(options);
  ASSERT_EQ(keychain.add("s", "a", bytes("x"), kUnlocked), 0);

  // A frozen daemon never answers, on the connection made or a new one: the short time-out
  // alone ends each call.
  keychain.setTimeout(std::chrono::milliseconds(500));
  keyring_->signalKeyring(SIGSTOP);
  for (int call = 0; call < 2; ++call) {
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(keychain.copyMatching("s", "a").status, kc::errSecNotAvailable);
    EXPECT_EQ(keychain.remove("s", "a"), kc::errSecNotAvailable);
    // Bounded by the time-out, not by the bus's 25 s: a hang would show here.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
  }
  keyring_->signalKeyring(SIGCONT);
  keychain.setTimeout(options.timeout);
  EXPECT_EQ(keychain.copyMatching("s", "a").data, bytes("x")) << "reconnected, nothing removed";
  kc::SecretServiceKeychain patient(options);
  EXPECT_EQ(patient.probe(), kc::SecretServiceKeychain::Availability::available);
}

// The real Secret Service, except that its second add fails.
class SecondAddFails : public kc::SecretServiceKeychain {
 public:
  using SecretServiceKeychain::SecretServiceKeychain;
  kc::OSStatus add(const std::string& s, const std::string& a, const kc::Bytes& v,
                   kc::Accessibility accessibility) override {
    return ++adds_ == 2 ? kc::errSecIO : SecretServiceKeychain::add(s, a, v, accessibility);
  }

 private:
  int adds_ = 0;
};

TEST_F(SecretServiceTest, FileItemsMoveAtFirstUseLosingNothingWhenTheyCannotAndKeepingTheSecretServicesValues) {
  startKeyring();
  // A file store with the system's three items, one readable only after the first unlock.
  kc::FileKeychain file(path());
  ASSERT_EQ(file.add(kService, "masterKey", key, kUnlocked), 0);
  ASSERT_EQ(
      file.add(kService, "loginPassword", bytes("sealed"), kc::Accessibility::afterFirstUnlock), 0);
  ASSERT_EQ(file.add(kService, "quorvelPasswordRecord", bytes("older"), kUnlocked), 0);
  const std::string before = fileText(path());
  SecondAddFails failing(options);  // fails halfway
  EXPECT_FALSE(kc::moveItems(file, failing).complete);
  EXPECT_EQ(fileText(path()), before);
  EXPECT_EQ(keyring_->countItems({{"service", kService}}), 0) << "the copy made is taken back";
  EXPECT_EQ(logLines("Could not move the keychain items into the Secret Service (status -36)"), 1);

  // A locked keyring: every call fails and tries the move again, and nothing (a fresh key)
  // goes into the file meanwhile.
  ASSERT_TRUE(keyring_->lockDefaultCollection());
  auto keychain = std::make_shared<kc::LinuxKeychain>(path(), options);
  kc::install(keychain);
  EXPECT_EQ(keychain->copyMatching(kService, "masterKey").status, kc::errSecInteractionNotAllowed);
  EXPECT_FALSE(Keychain::create(bytes("fresh"), "faceprintKey"));
  EXPECT_EQ(keychain->store(), Store::undecided);
  EXPECT_EQ(fileText(path()), before);
  EXPECT_EQ(logLines("(status -25308); they stay in " + path()), 2);

  // Unlocked by a restart, with an item of its own: the next call moves the others.
  keyring_->stopKeyring();
  startKeyring();
  kc::SecretServiceKeychain secrets(options);
  ASSERT_EQ(secrets.add(kService, "quorvelPasswordRecord", bytes("newer"), kUnlocked), 0);
  EXPECT_EQ(keychain->copyMatching(kService, "masterKey").data, key);
  EXPECT_EQ(keychain->store(), Store::secretService);
  EXPECT_EQ(keychain->copyMatching(kService, "quorvelPasswordRecord").data, bytes("newer"));
  EXPECT_EQ(secrets.copyMatching(kService, "loginPassword").data, bytes("sealed"));
  EXPECT_EQ(keyring_->countItems({{"account", "loginPassword"}, {"accessible", "ck"}}), 1);
  std::vector<kc::FileKeychain::Entry> left;  // the file keeps only the item it could not move
  ASSERT_EQ(kc::FileKeychain(path()).listItems(left), 0);
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].value, bytes("older"));
  EXPECT_EQ(logLines("Moved 2 keychain item(s) from " + path()), 1);
  EXPECT_EQ(logLines("Keychain item quorvelPasswordRecord is already in the Secret Service"), 1);

  // Once the Secret Service no longer holds it, the next process moves it and the file goes.
  ASSERT_EQ(secrets.remove(kService, "quorvelPasswordRecord"), 0);
  EXPECT_EQ(kc::LinuxKeychain(path(), options).copyMatching(kService, "quorvelPasswordRecord").data,
            bytes("older"));
  EXPECT_FALSE(std::filesystem::exists(path()));

  // A file that cannot be read may hold the key in use: nothing is decided, nothing is added.
  std::ofstream(path()) << "{ not a keychain";
  kc::LinuxKeychain unreadable(path(), options);
  EXPECT_EQ(unreadable.add(kService, "faceprintKey", key, kUnlocked), kc::errSecDecode);
  EXPECT_EQ(unreadable.store(), Store::undecided);
  EXPECT_EQ(keyring_->countItems({{"account", "faceprintKey"}}), 0);
  EXPECT_EQ(fileText(path()), "{ not a keychain");
}

enum class NoService { busWithoutIt, deadBusAddress, noBusAtAll };
void PrintTo(NoService environment, std::ostream* out) {
  static const char* const names[] = {"BusWithoutIt", "DeadBusAddress", "NoBusAtAll"};
  *out << names[static_cast<int>(environment)];
}

class NoSecretServiceTest : public quorvel::testing::PlatformTest,
                            public ::testing::WithParamInterface<NoService> {};

TEST_P(NoSecretServiceTest, TheFileStoreIsUsedAndTheLogSaysSoOnce) {
  std::unique_ptr<quorvel::testing::PrivateKeyring> bus;
  if (GetParam() == NoService::busWithoutIt) {
    bus = std::make_unique<quorvel::testing::PrivateKeyring>(home());
    ASSERT_TRUE(bus->running());
  } else if (GetParam() == NoService::deadBusAddress) {
    ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + home() + "/no-bus").c_str(), 1);
  } else {
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    ::unsetenv("DISPLAY");
    ::setenv("XDG_RUNTIME_DIR", home().c_str(), 1);
  }
  const std::string path = home() + "/data/com.tessmin.quorvel/keychain.json";
  kc::LinuxKeychain keychain(path, {std::chrono::seconds(5)});
  EXPECT_EQ(keychain.add("s", "a", bytes("x"), kUnlocked), 0);
  EXPECT_EQ(keychain.update("s", "a", bytes("y")), 0);
  EXPECT_EQ(keychain.copyMatching("s", "a").data, bytes("y"));
  EXPECT_EQ(keychain.store(), Store::file);
  EXPECT_EQ(kc::FileKeychain(path).copyMatching("s", "a").data, bytes("y"));
  EXPECT_EQ(logs().messages(),
            Strings{"No Secret Service is running; keychain items stay in " + path});
}

INSTANTIATE_TEST_SUITE_P(Environments, NoSecretServiceTest,
                         ::testing::Values(NoService::busWithoutIt, NoService::deadBusAddress,
                                           NoService::noBusAtAll));

}  // namespace
