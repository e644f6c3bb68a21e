// Protected storage across processes (the file-backed keychain and the faceprint file seen by
// a new process) and across threads (learned records added while frames read the vectors).
#include <atomic>
#include <thread>

#include "foundation/faceprint_store.hpp"
#include "foundation/password_vault.hpp"
#include "platform/files/files.hpp"
#include "platform/keychain/file_keychain.hpp"
#include "platform/shared.hpp"
#include "support/B_helpers.hpp"
#include "support/platform_fixture.hpp"

namespace {

using quorvel::Bytes;
using quorvel::FaceprintStore;
using quorvel::PasswordVault;
using quorvel::RecognitionEngine;
using quorvel::testing::descriptor;
using quorvel::testing::runInChild;
using Source = FaceprintStore::Source;
namespace kc = platform::keychain;

std::vector<std::vector<float>> enrolmentSet() {
  std::vector<std::vector<float>> set;
  for (int i = 0; i < 25; ++i) set.push_back(descriptor(static_cast<float>(i)));
  return set;
}

using StorageProcessTest = quorvel::testing::PlatformTest;

TEST_F(StorageProcessTest, AFileWrittenByOneProcessIsReadByTheNext) {
  // The keychain the application uses on Linux, in this test's home.
  platform::keychain::install(std::make_shared<kc::FileKeychain>(kc::defaultFilePath()));
  // The first process makes the key and writes the enrolment.
  const auto enrol = [] { return FaceprintStore::shared().replaceEnrolled(enrolmentSet(), RecognitionEngine::dlib); };
  ASSERT_EQ(runInChild(enrol), 0);

  // This process starts afresh: it finds the key in the keychain file and reads the file.
  platform::resetSharedInstances();
  auto& store = FaceprintStore::shared();
  EXPECT_EQ(store.vectors(RecognitionEngine::dlib), enrolmentSet());
  EXPECT_EQ(store.enrolledCount(RecognitionEngine::dlib), 25u);
  store.add(descriptor(100), Source::learned, RecognitionEngine::dlib);
  ASSERT_TRUE(PasswordVault::set("hunter2"));

  // And a third process sees both changes.
  EXPECT_EQ(runInChild([] {
              platform::resetSharedInstances();
              const auto vectors = FaceprintStore::shared().vectors(RecognitionEngine::dlib);
              return vectors.size() == 26 && vectors.back() == descriptor(100) &&
                     PasswordVault::read() == std::optional<std::string>("hunter2");
            }),
            0);
  // The key is in the keychain file.
  const auto key = kc::FileKeychain(kc::defaultFilePath()).copyMatching(quorvel::Keychain::service, "masterKey");
  EXPECT_EQ(key.data.value_or(Bytes{}).size(), 32u);
}

class StorageThreadsTest : public quorvel::testing::PlatformTest {};

TEST_F(StorageThreadsTest, LearnedAddsWhileFramesReadEndConsistentAndCapped) {
  auto& store = FaceprintStore::shared();
  const auto enrolled = enrolmentSet();
  ASSERT_TRUE(store.replaceEnrolled(enrolled, RecognitionEngine::dlib));
  ASSERT_TRUE(store.replaceEnrolled({descriptor(-1)}, RecognitionEngine::arcface));

  constexpr int kWriters = 6;
  constexpr int kAddsPerWriter = 15;
  std::atomic<int> writersLeft{kWriters};
  std::atomic<int> inconsistent{0};
  std::atomic<long> reads{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      for (int i = 0; i < kAddsPerWriter; ++i) {
        const auto engine = w % 3 == 2 ? RecognitionEngine::arcface : RecognitionEngine::dlib;
        store.add(descriptor(1000.0f + static_cast<float>(w * 100 + i)), Source::learned, engine);
      }
      --writersLeft;
    });
  }
  for (int r = 0; r < 4; ++r) {
    threads.emplace_back([&] {
      while (writersLeft.load() > 0) {
        const auto vectors = store.vectors(RecognitionEngine::dlib);
        // Every view: the enrolment first, then at most the cap of learned records.
        if (vectors.size() < enrolled.size() || vectors.size() > enrolled.size() + FaceprintStore::learnedCap ||
            !std::equal(enrolled.begin(), enrolled.end(), vectors.begin())) {
          ++inconsistent;
        }
        if (store.enrolledCount(RecognitionEngine::arcface) != 1) ++inconsistent;
        ++reads;
      }
    });
  }
  // The login password is sealed by the same encryption service meanwhile.
  threads.emplace_back([&] {
    for (int i = 0; i < 10; ++i) {
      if (!PasswordVault::set("pw" + std::to_string(i)) || PasswordVault::read() != "pw" + std::to_string(i)) {
        ++inconsistent;
      }
    }
  });
  for (auto& thread : threads) thread.join();

  EXPECT_EQ(inconsistent.load(), 0);
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(store.vectors(RecognitionEngine::dlib).size(), 25u + 12u);
  EXPECT_EQ(store.vectors(RecognitionEngine::arcface).size(), 1u + 12u);
  EXPECT_EQ(store.count(), 50u);
  EXPECT_TRUE(logs().messages("face").empty());

  // The file holds exactly what the store holds.
  FaceprintStore reopened(store.fileURL());
  EXPECT_EQ(reopened.vectors(RecognitionEngine::dlib), store.vectors(RecognitionEngine::dlib));
  EXPECT_EQ(reopened.vectors(RecognitionEngine::arcface), store.vectors(RecognitionEngine::arcface));
  EXPECT_EQ(reopened.count(), 50u);
}

TEST_F(StorageThreadsTest, ThreadsRetryingAnUnloadedStoreLoadItOnceTheKeyIsBack) {
  auto& store = FaceprintStore::shared();
  ASSERT_TRUE(store.replaceEnrolled(enrolmentSet(), RecognitionEngine::dlib));
  const auto before = platform::files::readWholeFile(store.fileURL());
  platform::resetSharedInstances();
  quorvel::testing::simulatedKeychain().refuseReads(kc::errSecInteractionNotAllowed);
  auto& relaunched = FaceprintStore::shared();
  std::atomic<bool> stop{false};
  std::atomic<int> sawPartial{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      while (!stop.load()) {
        const auto size = relaunched.vectors(RecognitionEngine::dlib).size();
        // Unloaded: nothing at all; loaded: the whole enrolment plus at most the cap.
        if (size != 0 && (size < 25 || size > 25 + FaceprintStore::learnedCap)) ++sawPartial;
        relaunched.add(descriptor(5), Source::learned, RecognitionEngine::dlib);
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(platform::files::readWholeFile(relaunched.fileURL()), before);
  quorvel::testing::simulatedKeychain().clearFaults();
  // The adders recover by themselves and fill the learned records up to the cap.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (relaunched.count() < 25 + FaceprintStore::learnedCap && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  stop = true;
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(sawPartial.load(), 0);
  EXPECT_EQ(relaunched.enrolledCount(RecognitionEngine::dlib), 25u);
  EXPECT_EQ(relaunched.vectors(RecognitionEngine::dlib).size(), 25u + 12u);
}

}  // namespace
