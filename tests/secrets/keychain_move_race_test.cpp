// Two processes that move the keychain file into the Secret Service at the same moment (the
// program at login beside "--self-test", say), raced round after round against a real
// gnome-keyring-daemon: whatever the interleaving, both read the key and no item is lost,
// left twice in the Secret Service or left behind in the file.
//
// The second process is this executable started again with QUORVEL_KEYCHAIN_MOVER naming the
// keychain file: it then runs only `KeychainMover.MovesOnEveryLine`, which, for every line on
// its standard input, reads the key through a fresh linux keychain (its first use moves the
// file) and answers with one line.
#include <QProcess>
#include <QProcessEnvironment>

#include <sys/prctl.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>

#include "foundation/keychain.hpp"
#include "platform/keychain/keychain_linux.hpp"
#include "support/B_helpers.hpp"
#include "support/platform_fixture.hpp"
#include "support/private_keyring.hpp"

namespace {

namespace kc = platform::keychain;
using quorvel::testing::bytes;
constexpr const char* kService = quorvel::Keychain::service;
constexpr const char* kMoverVariable = "QUORVEL_KEYCHAIN_MOVER";
const kc::SecretServiceKeychain::Options kPatient{std::chrono::seconds(10)};  // a shared machine

std::string hex(const std::optional<kc::Bytes>& data) {
  if (!data) return "-";
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (const auto byte : *data) text += {digits[byte >> 4], digits[byte & 15]};
  return text;
}

// What a mover answers for one move: its read of the key and the store it settled on.
std::string answerOf(kc::LinuxKeychain& keychain) {
  const kc::CopyResult key = keychain.copyMatching(kService, "masterKey");
  const bool secretService = keychain.store() == kc::LinuxKeychain::Store::secretService;
  return std::to_string(key.status) + " " + hex(key.data) + (secretService ? " secrets" : " file");
}

class MoverProcess : public ::testing::Test {
 public:
  explicit MoverProcess(std::string path) : path_(std::move(path)) {}
  void TestBody() override {
    for (std::string line; std::getline(std::cin, line);) {
      kc::LinuxKeychain keychain(path_, kPatient);
      std::cout << "mover " << answerOf(keychain) << std::endl;
    }
  }

 private:
  std::string path_;
};

[[maybe_unused]] const bool moverRegistered = [] {
  const char* path = std::getenv(kMoverVariable);
  if (!path) return false;
  ::testing::RegisterTest("KeychainMover", "MovesOnEveryLine", nullptr, nullptr, __FILE__, __LINE__,
                          [p = std::string(path)]() -> ::testing::Test* { return new MoverProcess(p); });
  return true;
}();

// A mover process of the test's own; it ends with the test.
class Mover {
 public:
  Mover(const std::string& path, const std::string& logPath) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(kMoverVariable, QString::fromStdString(path));
    process_.setProcessEnvironment(environment);
    process_.setStandardErrorFile(QString::fromStdString(logPath), QIODevice::Append);
    process_.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    process_.start("/proc/self/exe", {"--gtest_filter=KeychainMover.*"});
  }
  ~Mover() {
    process_.closeWriteChannel();
    if (!process_.waitForFinished(10000)) process_.kill(), process_.waitForFinished(3000);
  }
  bool started() { return process_.waitForStarted(10000); }
  void go() { process_.write("\n"), process_.waitForBytesWritten(10000); }
  // The answer to the last line ("" when none came within 60 s).
  std::string answer() {
    for (int waits = 0; waits < 60;) {
      while (process_.canReadLine()) {
        const std::string line = process_.readLine().trimmed().toStdString();
        if (line.rfind("mover ", 0) == 0) return line.substr(6);  // the rest is the test runner's
      }
      if (!process_.waitForReadyRead(1000)) ++waits;
    }
    return "";
  }

 private:
  QProcess process_;
};

class KeychainMoveRaceTest : public quorvel::testing::PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    keyring_ = std::make_unique<quorvel::testing::PrivateKeyring>(home());
    ASSERT_TRUE(keyring_->running()) << "dbus-daemon did not start (scripts/setup installs it)";
    ASSERT_TRUE(keyring_->startKeyring()) << "gnome-keyring-daemon did not start";
  }
  void TearDown() override {
    keyring_.reset();
    PlatformTest::TearDown();
  }
  std::unique_ptr<quorvel::testing::PrivateKeyring> keyring_;
};

TEST_F(KeychainMoveRaceTest, TwoProcessesMovingAtOnceLoseNothingAndBothReadTheKey) {
  const std::string path = home() + "/data/com.tessmin.quorvel/keychain.json";
  const std::pair<const char*, kc::Bytes> items[] = {{"masterKey", kc::Bytes(32, 0xA5)},
                                                     {"loginPassword", bytes("sealed")},
                                                     {"quorvelPasswordRecord", bytes("record")}};
  const std::string expected = "0 " + hex(items[0].second) + " secrets";
  Mover first(path, home() + "/mover-1.log"), second(path, home() + "/mover-2.log");
  ASSERT_TRUE(first.started() && second.started());
  kc::SecretServiceKeychain secrets(kPatient);
  kc::FileKeychain file(path);
  for (int round = 0; round < 15; ++round) {
    SCOPED_TRACE("round " + std::to_string(round) + " (the movers' logs: " + home() + ")");
    for (const auto& [account, value] : items) {
      (void)secrets.remove(kService, account);
      ASSERT_EQ(file.add(kService, account, value, kc::Accessibility::whenUnlocked), 0);
    }
    first.go(), second.go();
    const std::string answers[] = {first.answer(), second.answer()};
    EXPECT_EQ(answers[0], expected);
    EXPECT_EQ(answers[1], expected);
    for (const auto& [account, value] : items) {
      EXPECT_EQ(secrets.copyMatching(kService, account).data, value) << account << " was lost";
      EXPECT_EQ(keyring_->countItems({{"service", kService}, {"account", account}}), 1) << account;
    }
    EXPECT_FALSE(std::filesystem::exists(path)) << "the file was not emptied";
    if (::testing::Test::HasFailure()) break;
  }
}

// A move that cannot have the file's lock in time (another process is still moving the file)
// tries nothing; the holder's own changes go on under its hold, and the next move takes all.
TEST_F(KeychainMoveRaceTest, AMoveThatCannotHaveTheFilesLockInTimeTriesNothing) {
  const std::string path = home() + "/data/com.tessmin.quorvel/keychain.json";
  kc::FileKeychain file(path);
  ASSERT_EQ(file.add(kService, "masterKey", bytes("key"), kc::Accessibility::whenUnlocked), 0);
  kc::SecretServiceKeychain secrets(kPatient);
  {
    kc::FileKeychain other(path);
    const auto held = other.hold(std::chrono::seconds(10));
    ASSERT_TRUE(held);
    EXPECT_FALSE(other.hold(std::chrono::seconds(0))) << "a hold is not taken twice";
    const kc::MoveOutcome outcome = kc::moveItems(file, secrets, std::chrono::milliseconds(50));
    EXPECT_TRUE(outcome.busy);
    EXPECT_FALSE(outcome.complete);
    EXPECT_EQ(outcome.status, kc::errSecNotAvailable);
    EXPECT_EQ(secrets.copyMatching(kService, "masterKey").status, kc::errSecItemNotFound);
    EXPECT_EQ(other.add(kService, "loginPassword", bytes("sealed"), kc::Accessibility::whenUnlocked), 0);
  }
  EXPECT_EQ(logs().messages(),
            std::vector<std::string>{"The keychain file " + path + " is still being moved by another process"});
  EXPECT_TRUE(kc::moveItems(file, secrets).complete);
  EXPECT_EQ(secrets.copyMatching(kService, "masterKey").data, bytes("key"));
  EXPECT_EQ(secrets.copyMatching(kService, "loginPassword").data, bytes("sealed"));
  EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
