// The atomic write under the keychain and faceprint files (the faceprint store's own file:
// faceprint_store_test.cpp): owner-only files, the whole new content or the old one, and no
// temporary file left behind when a write fails.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/files/files_linux.hpp"
#include "platform/paths/paths.hpp"
#include "support/B_helpers.hpp"
#include "support/platform_fixture.hpp"

namespace {

namespace files = platform::files;
using quorvel::testing::bytes;

std::vector<std::string> namesIn(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
  return names;
}

class AtomicWriteTest : public quorvel::testing::PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    folder_ = home() + "/atomic";
    ASSERT_TRUE(platform::paths::createFolders(folder_));
  }
  std::string folder_;
};

TEST_F(AtomicWriteTest, WritesAnOwnerOnlyFileWholeOrLeavesTheTargetAndNoTemporaryFile) {
  const std::string path = folder_ + "/file";
  { std::ofstream(path) << "old"; }
  ASSERT_EQ(::chmod(path.c_str(), 0644), 0);  // a looser file it replaces
  for (const auto& content : {bytes("first version"), bytes("2"), files::Bytes{}}) {
    ASSERT_TRUE(files::writeFileAtomically(path, content));
    EXPECT_EQ(files::readWholeFile(path), content);
  }
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(namesIn(folder_), std::vector<std::string>{"file"});

  // A failed write leaves the target and no temporary file. A folder in the target's place
  // cannot be replaced by a file; a missing folder is not created.
  const std::string target = folder_ + "/target";
  ASSERT_TRUE(platform::paths::createFolders(target + "/inside"));
  EXPECT_FALSE(files::writeFileAtomically(target, bytes("data")));
  EXPECT_EQ(namesIn(target), std::vector<std::string>{"inside"});
  EXPECT_FALSE(files::writeFileAtomically(folder_ + "/missing/file", bytes("data")));
  EXPECT_EQ(namesIn(folder_).size(), 2u) << "only the file and the target";
}

TEST_F(AtomicWriteTest, OnlyADefiniteNoSuchFileCountsAsMissing) {
  files::LinuxFileSystem fileSystem;
  const std::string path = folder_ + "/file";
  EXPECT_FALSE(fileSystem.fileExists(path));
  EXPECT_FALSE(fileSystem.fileExists(path + "/below"));  // a path through a missing folder
  ASSERT_TRUE(files::writeFileAtomically(path, bytes("x")));
  EXPECT_TRUE(fileSystem.fileExists(path));
  EXPECT_FALSE(fileSystem.fileExists(path + "/below"));  // through a file: not a folder
  // A link to itself is there, though it cannot be opened.
  ASSERT_EQ(::symlink("loop", (folder_ + "/loop").c_str()), 0);
  EXPECT_TRUE(fileSystem.fileExists(folder_ + "/loop"));
  EXPECT_FALSE(fileSystem.readFile(folder_ + "/loop"));
}

}  // namespace
