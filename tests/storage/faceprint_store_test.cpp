// The faceprint store on the simulated keychain and real files in the test's home: per-engine
// views, enrolment replacement, eviction of learned records, and every road that must leave
// the file and the records as they were.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <tuple>

#include "foundation/crypto.hpp"
#include "foundation/faceprint_store.hpp"
#include "foundation/keychain.hpp"
#include "platform/files/simulated_files.hpp"
#include "platform/keychain/keychain.hpp"
#include "platform/shared.hpp"
#include "support/B_helpers.hpp"
#include "support/platform_fixture.hpp"

namespace {

using quorvel::Bytes;
using quorvel::Crypto;
using quorvel::FaceprintStore;
using quorvel::RecognitionEngine;
using quorvel::testing::bytes;
using quorvel::testing::descriptor;
using quorvel::testing::simulatedFiles;
using quorvel::testing::simulatedKeychain;
using Source = FaceprintStore::Source;
using Record = FaceprintStore::Record;
using WriteFault = platform::files::SimulatedFileSystem::WriteFault;
namespace kc = platform::keychain;

constexpr auto dlib = RecognitionEngine::dlib;
constexpr auto arcface = RecognitionEngine::arcface;

class FaceprintStoreTest : public quorvel::testing::PlatformTest {
 protected:
  std::string path() const { return home() + "/data/com.tessmin.quorvel/faceprints.encrypted"; }
  void SetUp() override {
    PlatformTest::SetUp();
    platform::files::current()->createFolders(home() + "/data/com.tessmin.quorvel");
  }

  std::optional<Bytes> fileBytes() { return platform::files::readWholeFile(path()); }

  // The file's plaintext and records, read with the current key ("" and none when it cannot be).
  std::string filePlaintext() {
    const auto plain = Crypto::shared().decrypt(fileBytes().value_or(Bytes{}));
    return plain ? std::string(plain->begin(), plain->end()) : "";
  }
  std::optional<std::vector<Record>> fileRecords() { return FaceprintStore::decode(bytes(filePlaintext())); }

  void writeRecords(const std::vector<Record>& records) { writePlaintext(*FaceprintStore::encode(records)); }
  void writePlaintext(const std::string& text) {
    const auto sealed = Crypto::shared().encrypt(Bytes(text.begin(), text.end()));
    ASSERT_TRUE(sealed);
    ASSERT_TRUE(platform::files::writeFileAtomically(path(), *sealed));
  }

  // A store that could not load: empty, and every change refused with the file untouched.
  void expectUnloaded(FaceprintStore& store) {
    const auto before = fileBytes();
    const int writes = simulatedFiles().writeCount();
    EXPECT_EQ(store.count(), 0u);
    EXPECT_FALSE(store.isEnrolled(dlib));
    store.add(descriptor(5), Source::learned, dlib);
    store.add(descriptor(6), Source::enrolled, dlib);
    EXPECT_FALSE(store.replaceEnrolled({descriptor(7)}, dlib));
    EXPECT_EQ(store.count(), 0u);
    EXPECT_EQ(fileBytes(), before);
    EXPECT_EQ(simulatedFiles().writeCount(), writes);
  }

  static Record learned(float seed, double created, std::optional<std::string> engine = "dlib") {
    return Record{descriptor(seed, 4), created, Source::learned, std::move(engine)};
  }
};

TEST_F(FaceprintStoreTest, WithoutAFileTheStoreIsEmptyAndWritesNothingUntilAChange) {
  FaceprintStore store(path());
  store.removeAll();  // no file: nothing to delete, nothing reported
  EXPECT_EQ(store.count(), 0u);
  EXPECT_FALSE(store.isEnrolled(dlib));
  EXPECT_FALSE(store.isEnrolled(arcface));
  EXPECT_TRUE(store.vectors(dlib).empty());
  EXPECT_FALSE(fileBytes());
  EXPECT_EQ(simulatedFiles().writeCount(), 0);

  store.add(descriptor(1), Source::learned, dlib);
  struct stat info {};
  ASSERT_EQ(::stat(path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);  // owner-only
  EXPECT_EQ(store.count(), 1u);
  EXPECT_FALSE(store.isEnrolled(dlib));  // learned records do not enrol
  EXPECT_EQ(store.vectors(dlib).size(), 1u);

  // Forgetting everything deletes the file.
  ASSERT_TRUE(store.replaceEnrolled({descriptor(2, 512)}, arcface));
  store.removeAll();
  EXPECT_EQ(store.count(), 0u);
  EXPECT_FALSE(fileBytes());
  EXPECT_EQ(FaceprintStore(path()).count(), 0u);
  EXPECT_TRUE(logs().messages().empty());
}

TEST_F(FaceprintStoreTest, ReplaceEnrolledKeepsOrderAndLeavesOtherEnginesAloneAndAnEmptySetClearsTheEngine) {
  FaceprintStore store(path());
  ASSERT_TRUE(store.replaceEnrolled({descriptor(100, 512), descriptor(101, 512)}, arcface));
  std::vector<std::vector<float>> dlibSet;
  for (int i = 0; i < 25; ++i) dlibSet.push_back(descriptor(static_cast<float>(i)));
  ASSERT_TRUE(store.replaceEnrolled(dlibSet, dlib));
  EXPECT_EQ(store.enrolledCount(dlib), 25u);
  EXPECT_EQ(store.vectors(dlib), dlibSet);
  EXPECT_EQ(store.vectors(arcface), (std::vector<std::vector<float>>{descriptor(100, 512), descriptor(101, 512)}));
  EXPECT_EQ(store.count(), 27u);

  // One date for the whole set, all enrolled, all tagged with the engine.
  const auto records = fileRecords();
  ASSERT_TRUE(records);
  ASSERT_EQ(records->size(), 27u);
  for (std::size_t i = 2; i < 27; ++i) {
    EXPECT_EQ((*records)[i], (Record{dlibSet[i - 2], (*records)[2].created, Source::enrolled, "dlib"})) << i;
  }

  // A new set goes after the other engines' records.
  ASSERT_TRUE(store.replaceEnrolled({descriptor(3, 512)}, arcface));
  EXPECT_EQ(fileRecords()->size(), 26u);
  EXPECT_EQ(fileRecords()->front().engine, "dlib");
  EXPECT_EQ(fileRecords()->back().vector, descriptor(3, 512));

  // An empty set removes the engine's learned records too.
  store.add(descriptor(4), Source::learned, dlib);
  EXPECT_TRUE(store.replaceEnrolled({}, dlib));
  EXPECT_FALSE(store.isEnrolled(dlib));
  EXPECT_TRUE(store.vectors(dlib).empty());
  EXPECT_EQ(store.vectors(arcface), std::vector<std::vector<float>>{descriptor(3, 512)});
  EXPECT_EQ(fileRecords()->size(), 1u);
}

TEST_F(FaceprintStoreTest, OnlyALearnedAddTrimsItsEngineToTheNewestTwelveKeepingTheLaterStoredOfEqualDates) {
  // 30 learned records in three dates, interleaved: 100, 200, 300, 100, 200, 300, ...; an enrolled
  // record older than all of them, and one of another engine.
  std::vector<Record> records;
  for (int i = 0; i < 30; ++i) records.push_back(learned(static_cast<float>(i), 100.0 * (1 + i % 3)));
  records.insert(records.begin() + 3, Record{descriptor(-1, 4), 50, Source::enrolled, "dlib"});
  records.push_back(learned(90, 1, "arcface"));
  writeRecords(records);
  FaceprintStore store(path());
  // Adding an enrolled record, or one of another engine, trims nothing.
  store.add(descriptor(7, 4), Source::learned, arcface);
  store.add(descriptor(8, 4), Source::enrolled, dlib);
  EXPECT_EQ(store.count(), 34u);
  store.add(descriptor(99, 4), Source::learned, dlib);  // 31 learned: the oldest 19 go
  // Gone: every record of date 100, and the nine earliest stored of date 200. The rest keep
  // their places, the enrolled one and the other engine's among them.
  std::vector<Record> expected;
  for (const auto& record : records) {
    if (record.engine != "dlib" || record.source == Source::enrolled || record.created == 300 ||
        record.vector == descriptor(28, 4)) {
      expected.push_back(record);
    }
  }
  const auto after = fileRecords();
  ASSERT_TRUE(after);
  ASSERT_EQ(after->size(), expected.size() + 3);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), after->begin()));
  EXPECT_EQ(after->back().vector, descriptor(99, 4));
  EXPECT_EQ(store.vectors(arcface).size(), 2u);
}

TEST_F(FaceprintStoreTest, RecordsWithoutEngineAreArcfaceAndTheFileIsOneSealedBoxOfTheExactPlaintext) {
  writePlaintext(R"([{"vector":[0.5,1],"created":10,"source":"enrolled"},)"
                 R"({"vector":[2],"created":11,"source":"learned","note":"x"}])");
  FaceprintStore store(path());
  EXPECT_EQ(store.vectors(arcface), (std::vector<std::vector<float>>{{0.5f, 1.0f}, {2.0f}}));
  EXPECT_TRUE(store.vectors(dlib).empty());
  EXPECT_TRUE(store.isEnrolled(arcface));
  EXPECT_FALSE(store.isEnrolled(dlib));

  // Written back without an engine (and without unknown members), the new record dated now.
  advance(0.25);
  store.add({0.1f, -2.5f, 1e-5f, 3.0f, 16777216.0f}, Source::enrolled, dlib);
  const std::string expected =
      R"([{"vector":[0.5,1],"created":10,"source":"enrolled"},{"vector":[2],"created":11,"source":"learned"},)"
      R"({"vector":[0.1,-2.5,1e-05,3,16777216],"created":788918400.25,"source":"enrolled","engine":"dlib"}])";
  EXPECT_EQ(filePlaintext(), expected);
  EXPECT_EQ(fileBytes()->size(), expected.size() + 28);
}

// (Threads retrying meanwhile: storage_concurrency_test.cpp.)
TEST_F(FaceprintStoreTest, WithTheKeyOrTheFileUnreadableTheFileIsKeptChangesAreRefusedAndEachUseRetries) {
  ASSERT_TRUE(FaceprintStore(path()).replaceEnrolled({descriptor(1)}, dlib));
  const int keyAdds = simulatedKeychain().calls("add");
  platform::resetSharedInstances();  // a later launch
  simulatedKeychain().refuseReads(kc::errSecInteractionNotAllowed);
  FaceprintStore store(path());
  expectUnloaded(store);
  EXPECT_EQ(simulatedKeychain().calls("add"), keyAdds);  // the key item is never replaced
  EXPECT_TRUE(logs().messages("face").empty());          // a failed load is silent
  const int reads = simulatedFiles().readCount();
  store.count();
  EXPECT_EQ(simulatedFiles().readCount(), reads + 1);

  simulatedKeychain().clearFaults();
  EXPECT_EQ(store.vectors(dlib), std::vector<std::vector<float>>{descriptor(1)});
  // Once loaded, reads no longer touch the disk.
  const int loadedReads = simulatedFiles().readCount();
  store.isEnrolled(arcface);
  EXPECT_EQ(simulatedFiles().readCount(), loadedReads);

  // A refused file read leaves a new store unloaded the same way.
  simulatedFiles().failReads(true, path());
  FaceprintStore refused(path());
  EXPECT_FALSE(refused.replaceEnrolled({}, dlib));
  simulatedFiles().clearFaults();
  EXPECT_TRUE(refused.isEnrolled(dlib));
}

// A pipe (or any file that is not a regular file) in place of the file: read as unreadable at
// once, never waited on, never overwritten; forgetting everything removes it.
TEST_F(FaceprintStoreTest, APipeInPlaceOfTheFileIsUnreadableWithoutWaiting) {
  ASSERT_EQ(::mkfifo(path().c_str(), 0600), 0);
  auto opened = std::async(std::launch::async, [this] {
    FaceprintStore store(path());
    return std::make_tuple(store.count(), store.replaceEnrolled({descriptor(1)}, dlib), store.vectors(dlib).size());
  });
  if (opened.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
    ADD_FAILURE() << "the store waited on the pipe";
    // Lets every waiting read go (each operation of an unloaded store reads again).
    for (int i = 0; i < 1000 && opened.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready; ++i) {
      const int writer = ::open(path().c_str(), O_WRONLY | O_NONBLOCK);
      if (writer >= 0) ::close(writer);
    }
    return;
  }
  EXPECT_EQ(opened.get(), std::make_tuple(std::size_t{0}, false, std::size_t{0}));
  struct stat info {};
  ASSERT_EQ(::stat(path().c_str(), &info), 0);
  EXPECT_TRUE(S_ISFIFO(info.st_mode)) << "left in place";
  FaceprintStore store(path());
  store.removeAll();
  EXPECT_TRUE(store.replaceEnrolled({descriptor(2)}, dlib));
}

TEST_F(FaceprintStoreTest, DamagedFilesAreNeverOverwrittenUntilRemoveAll) {
  {
    FaceprintStore writer(path());
    ASSERT_TRUE(writer.replaceEnrolled({descriptor(1), descriptor(2)}, dlib));
  }
  const Bytes good = *fileBytes();
  const auto otherKeyBox = Crypto(*platform::crypto::SymmetricKey::random(256)).encrypt(Bytes{'[', ']'});
  const auto notRecords = Crypto::shared().encrypt(Bytes{'{', '}'});
  Bytes flipped = good;
  flipped[flipped.size() / 2] ^= 0x40;
  const std::pair<const char*, Bytes> damaged[] = {
      {"flipped byte", flipped},   {"truncated", Bytes(good.begin(), good.end() - 5)},
      {"empty", Bytes{}},          {"shorter than a box", Bytes(good.begin(), good.begin() + 20)},
      {"other key", *otherKeyBox}, {"not a record list", *notRecords},
  };

  for (const auto& [what, bytes] : damaged) {
    SCOPED_TRACE(what);
    ASSERT_TRUE(platform::files::writeFileAtomically(path(), bytes));
    FaceprintStore store(path());
    expectUnloaded(store);
    EXPECT_EQ(fileBytes(), bytes);

    store.removeAll();
    EXPECT_FALSE(fileBytes());
    EXPECT_TRUE(store.replaceEnrolled({descriptor(8)}, dlib));
    EXPECT_EQ(fileRecords()->size(), 1u);
  }
}

TEST_F(FaceprintStoreTest, FailedSavesUndoTheChangeExactlyAndLeaveThePreviousFileLoadable) {
  FaceprintStore store(path());
  ASSERT_TRUE(store.replaceEnrolled({descriptor(1)}, dlib));
  for (int i = 0; i < 12; ++i) store.add(descriptor(10.0f + static_cast<float>(i)), Source::learned, dlib);
  auto before = store.vectors(dlib);
  auto beforeFile = fileBytes();
  ASSERT_EQ(before.size(), 13u);

  auto expectUnchanged = [&](const char* what) {
    SCOPED_TRACE(what);
    EXPECT_EQ(store.count(), 13u);
    EXPECT_EQ(store.enrolledCount(dlib), 1u);
    EXPECT_EQ(store.vectors(dlib), before);
    EXPECT_TRUE(store.vectors(arcface).empty());
    EXPECT_EQ(fileBytes(), beforeFile);
  };

  simulatedFiles().failWrites(WriteFault::refuse);
  store.add(descriptor(50), Source::learned, dlib);  // would also have evicted one
  expectUnchanged("learned add, disk refuses");
  EXPECT_FALSE(store.replaceEnrolled({descriptor(51)}, dlib));
  expectUnchanged("replace, disk refuses");
  // A crash between the write and the rename: the new content reached the disk only beside the
  // file, and a new launch loads the previous file.
  simulatedFiles().failWrites(WriteFault::crashBeforeRename, path());
  EXPECT_FALSE(store.replaceEnrolled({descriptor(51)}, dlib));
  store.add(descriptor(50), Source::learned, dlib);
  expectUnchanged("crash before the rename");
  ASSERT_EQ(simulatedFiles().leftovers().size(), 2u);
  for (const auto& leftover : simulatedFiles().leftovers()) {
    EXPECT_TRUE(platform::files::readWholeFile(leftover));
    EXPECT_NE(leftover, path());
  }
  simulatedFiles().clearFaults();
  EXPECT_EQ(FaceprintStore(path()).vectors(dlib), before);
  // Saving works again beside the leftovers.
  store.add(descriptor(60), Source::learned, dlib);
  before = store.vectors(dlib);
  beforeFile = fileBytes();
  EXPECT_EQ(before.back(), descriptor(60));
  EXPECT_EQ(FaceprintStore(path()).vectors(dlib), before);
  EXPECT_EQ(logs().messages("face"), std::vector<std::string>(4, "Could not save faceprints"));
  for (const auto& entry : logs().entries()) EXPECT_EQ(entry.level, platform::log::Level::Error);
  logs().clear();

  store.add({1.0f, std::nanf(""), 2.0f}, Source::learned, dlib);
  expectUnchanged("NaN in a learned add");
  EXPECT_FALSE(store.replaceEnrolled({descriptor(1), {INFINITY}}, dlib));
  expectUnchanged("infinity in an enrolment");
  store.add({-INFINITY}, Source::enrolled, arcface);
  expectUnchanged("infinity for another engine");
  // Without encryption (a later launch finds the key malformed) nothing is saved either.
  platform::resetSharedInstances();
  simulatedKeychain().put(quorvel::Keychain::service, "masterKey", Bytes(5, 1));
  store.add(descriptor(52), Source::learned, dlib);
  EXPECT_FALSE(store.replaceEnrolled({descriptor(53)}, dlib));
  expectUnchanged("no encryption");
  EXPECT_EQ(logs().messages("face"), std::vector<std::string>(5, "Could not encrypt faceprints"));
  for (const auto& entry : logs().entries()) EXPECT_EQ(entry.level, platform::log::Level::Error);
}

TEST_F(FaceprintStoreTest, SharedStoreLivesInTheApplicationSupportFolderElseTheTemporaryOne) {
  platform::files::current()->removeFile(path());
  ::rmdir((home() + "/data/com.tessmin.quorvel").c_str());
  auto& store = FaceprintStore::shared();
  EXPECT_EQ(store.fileURL(), path());
  EXPECT_TRUE(platform::files::current()->fileExists(home() + "/data/com.tessmin.quorvel"));
  ASSERT_TRUE(store.replaceEnrolled({descriptor(1)}, dlib));
  EXPECT_TRUE(fileBytes());
  EXPECT_EQ(&FaceprintStore::shared(), &store);

  // Without an application support folder, the temporary folder is used.
  platform::resetSharedInstances();
  simulatedFiles().hideApplicationSupport(true);
  EXPECT_EQ(FaceprintStore::shared().fileURL(), home() + "/tmp/com.tessmin.quorvel/faceprints.encrypted");
  EXPECT_TRUE(FaceprintStore::shared().replaceEnrolled({descriptor(1)}, dlib));
}

}  // namespace
