// The base of every test that runs system code: installs the virtual scheduler, a capturing
// log sink, in-memory user defaults and a private temporary home, lets each platform area
// install its simulated implementation, and drops every shared instance between tests.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "platform/defaults/simulated_defaults.hpp"
#include "platform/dispatch/virtual_scheduler.hpp"
#include "platform/log/simulated_log.hpp"

namespace quorvel::testing {

// Hooks run at every fixture set-up (after the base platform is installed) and tear-down.
// Platform areas register theirs from a file in tests/support through a static
// `FixtureHook` object.
struct FixtureHook {
  FixtureHook(std::function<void()> setUp, std::function<void()> tearDown = nullptr);
};

// A simulated platform part made fresh for every test: at set-up `make` builds it (the
// default constructor unless given) and `install` puts it in place; at tear-down it is
// uninstalled and dropped. A hook file keeps one as a static object and returns `*part`
// from its accessor.
template <class Part, auto install>
class FreshPart {
 public:
  explicit FreshPart(std::function<std::shared_ptr<Part>()> make = [] {
    return std::make_shared<Part>();
  })
      : hook_(
            [this, make] {
              part_ = make();
              install(part_);
            },
            [this] {
              install(nullptr);
              part_.reset();
            }) {}
  Part& operator*() const { return *part_; }

 private:
  std::shared_ptr<Part> part_;
  FixtureHook hook_;
};

class PlatformTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  platform::dispatch::VirtualScheduler& scheduler() { return *scheduler_; }
  platform::log::CapturingSink& logs() { return *logs_; }
  platform::defaults::MemoryUserDefaults& defaults() { return *defaults_; }
  // A folder of this test alone; XDG_CONFIG_HOME, XDG_DATA_HOME and TMPDIR point into it.
  const std::string& home() const { return home_; }

  // Checks that the test logged exactly one entry: `message` in `category` at `level`.
  void expectSingleLog(platform::log::Level level, const std::string& category, const std::string& message);

  void advance(double seconds) { scheduler_->advance(seconds); }
  void runUntilIdle() { scheduler_->runUntilIdle(); }
  double now() { return scheduler_->now(); }

 private:
  std::shared_ptr<platform::dispatch::VirtualScheduler> scheduler_;
  std::shared_ptr<platform::log::CapturingSink> logs_;
  std::shared_ptr<platform::defaults::MemoryUserDefaults> defaults_;
  std::string home_;
};

// Where tests write files a person may want to look at (PNG renderings, ...).
std::string testOutputFolder();
// Removes a folder tree (best effort).
void removeTree(const std::string& path);

}  // namespace quorvel::testing
