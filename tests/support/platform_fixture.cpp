#include "support/platform_fixture.hpp"

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <vector>

#include "platform/shared.hpp"

namespace quorvel::testing {
namespace {

struct Hooks {
  std::mutex mutex;
  std::vector<std::pair<std::function<void()>, std::function<void()>>> list;
};
Hooks& hooks() {
  static Hooks instance;
  return instance;
}

}  // namespace

FixtureHook::FixtureHook(std::function<void()> setUp, std::function<void()> tearDown) {
  std::lock_guard<std::mutex> lock(hooks().mutex);
  hooks().list.emplace_back(std::move(setUp), std::move(tearDown));
}

void PlatformTest::SetUp() {
  char pattern[] = "/tmp/quorvel-test-XXXXXX";
  const char* made = ::mkdtemp(pattern);
  ASSERT_NE(made, nullptr);
  home_ = made;
  ::setenv("XDG_CONFIG_HOME", (home_ + "/config").c_str(), 1);
  ::setenv("XDG_DATA_HOME", (home_ + "/data").c_str(), 1);
  ::setenv("TMPDIR", (home_ + "/tmp").c_str(), 1);
  std::filesystem::create_directories(home_ + "/tmp");

  platform::resetSharedInstances();
  scheduler_ = std::make_shared<platform::dispatch::VirtualScheduler>();
  platform::dispatch::install(scheduler_);
  logs_ = std::make_shared<platform::log::CapturingSink>();
  platform::log::installSink(logs_);
  defaults_ = std::make_shared<platform::defaults::MemoryUserDefaults>();
  platform::defaults::installStandard(defaults_);

  std::vector<std::function<void()>> setUps;
  {
    std::lock_guard<std::mutex> lock(hooks().mutex);
    for (auto& hook : hooks().list) {
      if (hook.first) setUps.push_back(hook.first);
    }
  }
  for (auto& setUp : setUps) setUp();
}

void PlatformTest::TearDown() {
  std::vector<std::function<void()>> tearDowns;
  {
    std::lock_guard<std::mutex> lock(hooks().mutex);
    for (auto& hook : hooks().list) {
      if (hook.second) tearDowns.push_back(hook.second);
    }
  }
  for (auto it = tearDowns.rbegin(); it != tearDowns.rend(); ++it) (*it)();
  platform::resetSharedInstances();
  // Leftover work refers to services that are gone now; drop it with the scheduler.
  platform::dispatch::install(nullptr);
  scheduler_.reset();
  platform::log::installSink(nullptr);
  platform::defaults::installStandard(nullptr);
  if (!home_.empty()) removeTree(home_);
}

void PlatformTest::expectSingleLog(platform::log::Level level, const std::string& category,
                                   const std::string& message) {
  const auto entries = logs_->entries();
  ASSERT_EQ(entries.size(), 1u) << ::testing::PrintToString(logs_->messages());
  EXPECT_EQ(entries[0].message, message);
  EXPECT_EQ(entries[0].category, category);
  EXPECT_EQ(entries[0].level, level);
}

std::string testOutputFolder() {
  const char* configured = std::getenv("QUORVEL_TEST_OUTPUT");
  std::string folder = configured && *configured ? configured : QUORVEL_BINARY_DIR "/test-output";
  std::filesystem::create_directories(folder);
  return folder;
}

void removeTree(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

}  // namespace quorvel::testing
