#include <fstream>
#include <thread>
#include <vector>

#include "platform/defaults/defaults_linux.hpp"
#include "platform/defaults/simulated_defaults.hpp"
#include "support/B_helpers.hpp"
#include "support/platform_fixture.hpp"

namespace {

using platform::defaults::FileUserDefaults;
using platform::defaults::MemoryUserDefaults;
using platform::defaults::UserDefaults;
using platform::defaults::Value;

class DefaultsTest : public quorvel::testing::PlatformTest {
 protected:
  std::string filePath() const { return home() + "/config/com.tessmin.quorvel/defaults.json"; }
};

TEST_F(DefaultsTest, AStoredValueWinsOverTheRegisteredOneUntilRemovedInMemoryAndInTheFile) {
  MemoryUserDefaults memory;
  EXPECT_EQ(platform::defaults::standardFilePath(), filePath());  // under XDG_CONFIG_HOME
  FileUserDefaults file(filePath());
  for (UserDefaults* defaults : std::vector<UserDefaults*>{&memory, &file}) {
    defaults->registerDefaults({{"flag", true}, {"unlockEnabled", true}});
    EXPECT_TRUE(defaults->boolForKey("flag"));
    EXPECT_FALSE(defaults->persistentObject("flag").has_value());
    defaults->setBool("flag", false);
    EXPECT_FALSE(defaults->boolForKey("flag"));
    defaults->remove("flag");
    EXPECT_TRUE(defaults->boolForKey("flag"));
    EXPECT_FALSE(defaults->boolForKey("never-set"));
    EXPECT_FALSE(defaults->stringForKey("never-set").has_value());
    defaults->setString("name", "arcface");
    EXPECT_EQ(defaults->stringForKey("name"), "arcface");
  }
  // The registration is never written to the file.
  FileUserDefaults reopened(filePath());
  EXPECT_FALSE(reopened.persistentObject("unlockEnabled").has_value());
  EXPECT_EQ(reopened.persistentObject("name"), Value(std::string("arcface")));
}

TEST_F(DefaultsTest, TypedReadsConvertLikeThePlatform) {
  MemoryUserDefaults defaults;
  const std::vector<std::pair<Value, bool>> values = {
      {Value(std::string("YES")), true}, {Value(std::string("true")), true}, {Value(std::string("1")), true},
      {Value(std::string("maybe")), false}, {Value(std::int64_t{2}), true}, {Value(0.0), false}};
  for (const auto& [value, truth] : values) {
    defaults.set("key", value);
    EXPECT_EQ(defaults.boolForKey("key"), truth);
  }
  defaults.set("number", Value(std::int64_t{2}));
  EXPECT_EQ(defaults.stringForKey("number"), "2");
}

TEST_F(DefaultsTest, ASecondProcessSeesAWriteAtOnce) {
  FileUserDefaults parent(filePath());
  EXPECT_FALSE(parent.boolForKey("hasSeenWelcome"));  // loads the (absent) file once
  const auto writeInAnotherProcess = [&] {
    FileUserDefaults other(filePath());
    other.setBool("hasSeenWelcome", true);
    other.setString("recognitionEngine", "arcface");
    return true;
  };
  ASSERT_EQ(quorvel::testing::runInChild(writeInAnotherProcess), 0);
  EXPECT_TRUE(parent.boolForKey("hasSeenWelcome"));
  EXPECT_EQ(parent.stringForKey("recognitionEngine"), "arcface");
}

TEST_F(DefaultsTest, ConcurrentWritersOfTwoObjectsLoseNothing) {
  FileUserDefaults a(filePath());
  FileUserDefaults b(filePath());
  std::vector<std::thread> writers;
  for (auto [defaults, prefix] : {std::pair{&a, "a"}, std::pair{&b, "b"}}) {
    writers.emplace_back([defaults, prefix] {
      for (int i = 0; i < 20; ++i) defaults->setBool(prefix + std::to_string(i), true);
    });
  }
  for (auto& writer : writers) writer.join();
  FileUserDefaults check(filePath());
  for (int i = 0; i < 20; ++i) {
    EXPECT_TRUE(check.boolForKey("a" + std::to_string(i))) << i;
    EXPECT_TRUE(check.boolForKey("b" + std::to_string(i))) << i;
  }
}

TEST_F(DefaultsTest, AnUnreadableFileReadsEmptyAndIsKeptAsideOnWrite) {
  FileUserDefaults defaults(filePath());
  defaults.setBool("x", true);
  std::ofstream(filePath(), std::ios::trunc) << "{ not json";
  EXPECT_FALSE(defaults.persistentObject("x").has_value());
  defaults.setBool("y", true);
  EXPECT_TRUE(defaults.boolForKey("y"));
  EXPECT_EQ(quorvel::testing::fileText(filePath() + ".unreadable"), "{ not json");
}

}  // namespace
