// The Keychain gateway over the simulated keychain, and the file-backed keychain the
// application uses on Linux (threads, processes, unreadable files).
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <thread>
#include <vector>

#include "foundation/keychain.hpp"
#include "platform/keychain/file_keychain.hpp"
#include "platform/keychain/simulated_keychain.hpp"
#include "platform/paths/paths.hpp"
#include "support/B_helpers.hpp"
#include "support/platform_fixture.hpp"

namespace {

using quorvel::Bytes;
using quorvel::Keychain;
using quorvel::testing::simulatedKeychain;
namespace kc = platform::keychain;

using quorvel::testing::bytes;
using quorvel::testing::fileText;

class KeychainTest : public quorvel::testing::PlatformTest {};

TEST_F(KeychainTest, SetAddsOrReplacesCreateOnlyAddsAndRemoveDeletesOnlyTheApplicationsItems) {
  simulatedKeychain().put("com.example.other", "account", bytes("foreign"));  // never seen
  EXPECT_TRUE(Keychain::read("account").isAbsent());
  EXPECT_FALSE(Keychain::get("account").has_value());
  EXPECT_FALSE(Keychain::remove("account"));
  EXPECT_TRUE(Keychain::set(bytes("one"), "account"));
  EXPECT_TRUE(Keychain::set(bytes("two"), "account"));
  EXPECT_EQ(Keychain::get("account"), bytes("two"));
  EXPECT_EQ(simulatedKeychain().itemCount(), 2u);
  EXPECT_EQ(simulatedKeychain().item(Keychain::service, "account")->accessibility, kc::Accessibility::whenUnlocked);

  EXPECT_TRUE(Keychain::create(bytes("first"), "created"));
  EXPECT_FALSE(Keychain::create(bytes("second"), "created"));
  EXPECT_EQ(Keychain::get("created"), bytes("first"));
  EXPECT_TRUE(Keychain::remove("account"));
  EXPECT_TRUE(Keychain::read("account").isAbsent());
  EXPECT_EQ(simulatedKeychain().item("com.example.other", "account")->value, bytes("foreign"));
  EXPECT_TRUE(logs().messages().empty());

  // `set` keeps the accessibility of an existing item.
  simulatedKeychain().put(Keychain::service, "older", bytes("old"), kc::Accessibility::afterFirstUnlock);
  EXPECT_TRUE(Keychain::set(bytes("new"), "older"));
  EXPECT_EQ(simulatedKeychain().item(Keychain::service, "older")->value, bytes("new"));
  EXPECT_EQ(simulatedKeychain().item(Keychain::service, "older")->accessibility, kc::Accessibility::afterFirstUnlock);
}

TEST_F(KeychainTest, RefusedReadOrSuccessWithoutDataIsFailedNeverAbsent) {
  ASSERT_TRUE(Keychain::set(bytes("secret"), "account"));
  simulatedKeychain().refuseReads(kc::errSecAuthFailed);
  auto result = Keychain::read("account");
  ASSERT_TRUE(result.isFailed());
  EXPECT_EQ(result.status, kc::errSecAuthFailed);
  // Also for an item that does not exist: the Keychain did not say so.
  result = Keychain::read("never");
  ASSERT_TRUE(result.isFailed());
  EXPECT_EQ(result.status, kc::errSecAuthFailed);
  EXPECT_FALSE(Keychain::get("account").has_value());
  EXPECT_TRUE(logs().messages().empty());
  // A success without data is failed with status 0.
  simulatedKeychain().clearFaults();
  simulatedKeychain().answerSuccessWithoutData(true);
  result = Keychain::read("account");
  ASSERT_TRUE(result.isFailed());
  EXPECT_EQ(result.status, 0);
  EXPECT_FALSE(Keychain::get("account").has_value());
}

// Answers "no such item" to every update and refuses every add: the road of `set` that adds.
class RefusingAddKeychain : public kc::SimulatedKeychain {
 public:
  kc::OSStatus add(const std::string&, const std::string&, const Bytes&, kc::Accessibility) override {
    ++adds;
    return kc::errSecAuthFailed;
  }
  int adds = 0;
};

TEST_F(KeychainTest, RefusedSavesReportFalseAndOnlyARefusedUpdateIsLogged) {
  ASSERT_TRUE(Keychain::set(bytes("old"), "account"));
  simulatedKeychain().refuseWrites(kc::errSecUserCanceled);
  EXPECT_FALSE(Keychain::set(bytes("new"), "account"));
  EXPECT_FALSE(Keychain::create(bytes("new"), "other"));
  EXPECT_FALSE(Keychain::remove("account"));
  EXPECT_EQ(logs().messages(), std::vector<std::string>{"Keychain save refused (status -128)"});  // only `set`
  EXPECT_EQ(logs().entries().at(0).level, platform::log::Level::Error);
  EXPECT_EQ(logs().messages("app").size(), 1u);
  simulatedKeychain().clearFaults();
  EXPECT_EQ(Keychain::get("account"), bytes("old"));

  // A refused add after "no such item" is not logged.
  logs().clear();
  const auto keychain = std::make_shared<RefusingAddKeychain>();
  kc::install(keychain);
  EXPECT_FALSE(Keychain::set(bytes("value"), "account"));
  EXPECT_EQ(keychain->calls("update"), 1);
  EXPECT_EQ(keychain->adds, 1);
  EXPECT_EQ(keychain->itemCount(), 0u);
  EXPECT_TRUE(logs().messages().empty());
}

// --- the file-backed keychain ---------------------------------------------------------------

class FileKeychainTest : public quorvel::testing::PlatformTest {
 protected:
  std::string path() const { return home() + "/data/com.tessmin.quorvel/keychain.json"; }
};

TEST_F(FileKeychainTest, ItemOperationsAnswerThePlatformStatusesAndKeepTheFileSound) {
  kc::FileKeychain keychain(path());
  EXPECT_EQ(keychain.copyMatching("s", "a").status, kc::errSecItemNotFound);
  EXPECT_EQ(keychain.update("s", "a", bytes("x")), kc::errSecItemNotFound);
  EXPECT_EQ(keychain.add("s", "a", bytes("x"), kc::Accessibility::whenUnlocked), kc::errSecSuccess);
  EXPECT_EQ(keychain.add("s", "a", bytes("y"), kc::Accessibility::whenUnlocked), kc::errSecDuplicateItem);
  EXPECT_EQ(keychain.update("s", "a", bytes("z")), kc::errSecSuccess);
  const auto copy = keychain.copyMatching("s", "a");
  EXPECT_EQ(copy.status, kc::errSecSuccess);
  EXPECT_EQ(copy.data, bytes("z"));
  EXPECT_EQ(keychain.copyMatching("other", "a").status, kc::errSecItemNotFound);
  EXPECT_EQ(keychain.remove("s", "a"), kc::errSecSuccess);
  EXPECT_EQ(keychain.remove("s", "a"), kc::errSecItemNotFound);

  // In the data folder, owner-only; binary values survive the file.
  EXPECT_EQ(kc::defaultFilePath(), path());
  struct stat info {};
  ASSERT_EQ(::stat(path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  Bytes value;
  for (int i = 0; i < 256; ++i) value.push_back(static_cast<std::uint8_t>(i));
  ASSERT_EQ(keychain.add("s", "b", value, kc::Accessibility::whenUnlocked), kc::errSecSuccess);
  EXPECT_EQ(kc::FileKeychain(path()).copyMatching("s", "b").data, value);

  // Names that are not UTF-8 are refused without harm to the file.
  const std::string text = fileText(path());
  EXPECT_NE(keychain.add("s", "\xff\xfe", bytes("x"), kc::Accessibility::whenUnlocked), kc::errSecSuccess);
  EXPECT_NE(keychain.add("\xc3", "a2", bytes("x"), kc::Accessibility::whenUnlocked), kc::errSecSuccess);
  EXPECT_EQ(keychain.copyMatching("s", "\xff\xfe").status, kc::errSecItemNotFound);
  EXPECT_EQ(fileText(path()), text);
}

TEST_F(FileKeychainTest, UnreadableFileIsNeverOverwritten) {
  kc::FileKeychain keychain(path());
  ASSERT_EQ(keychain.add("s", "a", bytes("x"), kc::Accessibility::whenUnlocked), kc::errSecSuccess);
  // Broken text, and documents with one wrong item among good ones: an item that is skipped
  // would be lost at the next write, so the whole file counts as unreadable.
  const std::string good = R"({"service":"s","account":"a","value":"eA==","accessible":"ak"})";
  const std::vector<std::string> documents = {
      "{\"items\": [ broken",
      "",
      R"({"items":{}})",
      R"({"items":[)" + good + R"(,5]})",
      R"({"items":[)" + good + R"(,{"service":"s","account":"b","value":"eA="}]})",
      R"({"items":[)" + good + R"(,{"service":"s","account":"b","value":7}]})",
      R"({"items":[)" + good + R"(,{"service":"s","value":"eA=="}]})",
      R"({"items":[)" + good + R"(,{"service":1,"account":"b","value":"eA=="}]})",
  };
  for (const auto& document : documents) {
    SCOPED_TRACE(document);
    { std::ofstream(path(), std::ios::trunc) << document; }
    EXPECT_EQ(keychain.copyMatching("s", "a").status, kc::errSecDecode);
    EXPECT_EQ(keychain.add("s", "b", bytes("y"), kc::Accessibility::whenUnlocked), kc::errSecDecode);
    EXPECT_EQ(keychain.update("s", "a", bytes("y")), kc::errSecDecode);
    EXPECT_EQ(keychain.remove("s", "a"), kc::errSecDecode);
    EXPECT_EQ(fileText(path()), document);
  }
  // The good item alone reads.
  { std::ofstream(path(), std::ios::trunc) << R"({"items":[)" + good + "]}"; }
  EXPECT_EQ(keychain.copyMatching("s", "a").data, bytes("x"));
}

TEST_F(FileKeychainTest, AFileThatExistsButCannotBeOpenedIsNeverTakenForAMissingOne) {
  // A link that points at itself: the file is there, yet every open fails (not with "no such
  // file"). Were it taken for a missing keychain, a new key would be made and the link replaced.
  ASSERT_TRUE(platform::paths::createFolders(home() + "/data/com.tessmin.quorvel"));
  ASSERT_EQ(::symlink("keychain.json", path().c_str()), 0);
  kc::FileKeychain keychain(path());
  EXPECT_EQ(keychain.copyMatching("s", "a").status, kc::errSecDecode);
  EXPECT_EQ(keychain.add("s", "a", bytes("x"), kc::Accessibility::whenUnlocked), kc::errSecDecode);
  EXPECT_EQ(keychain.remove("s", "a"), kc::errSecDecode);
  struct stat info {};
  ASSERT_EQ(::lstat(path().c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));

  // Through the gateway: the app password counts as set, the key is never replaced.
  kc::install(std::make_shared<kc::FileKeychain>(path()));
  EXPECT_TRUE(Keychain::read("quorvelPasswordRecord").isFailed());
  EXPECT_FALSE(Keychain::create(bytes("key"), "masterKey"));
  ASSERT_EQ(::lstat(path().c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
}

TEST_F(FileKeychainTest, ThreadsAndProcessesAddingItemsLoseNone) {
  constexpr int kPerWriter = 15;
  const pid_t child = ::fork();  // before any thread starts
  ASSERT_GE(child, 0);
  if (child == 0) {
    kc::FileKeychain mine(path());
    int failures = 0;
    for (int i = 0; i < kPerWriter; ++i) {
      failures += mine.add("s", "child" + std::to_string(i), bytes("c"), kc::Accessibility::whenUnlocked) != 0;
    }
    ::_exit(failures == 0 ? 0 : 1);
  }
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([this, t] {
      kc::FileKeychain mine(path());
      for (int i = 0; i < kPerWriter; ++i) {
        mine.add("s", "t" + std::to_string(t) + "-" + std::to_string(i), bytes("p"),
                 kc::Accessibility::whenUnlocked);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  kc::FileKeychain check(path());
  for (int i = 0; i < kPerWriter; ++i) {
    EXPECT_EQ(check.copyMatching("s", "child" + std::to_string(i)).status, 0) << i;
    for (int t = 0; t < 3; ++t) {
      EXPECT_EQ(check.copyMatching("s", "t" + std::to_string(t) + "-" + std::to_string(i)).status, 0);
    }
  }
}

}  // namespace
