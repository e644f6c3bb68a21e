// The native dlib facade's lock around its load: the bridge call and the loaded flag are one
// step, so whoever asks while a load is still reading its file gets that load's answer.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <future>
#include <thread>

#include "bridge/lock_waits.hpp"
#include "recognition/native_dlib.hpp"
#include "support/face_models_hooks.hpp"
#include "support/platform_fixture.hpp"

namespace quorvel::testing {
namespace {

using NativeDlibLockTest = PlatformTest;

// Loaded, then a load that fails: asked while that load still reads its file (a pipe, which
// dlib cannot load), the facade answers with the failing load's result, not the one before.
TEST_F(NativeDlibLockTest, AskingWhileALoadReadsItsFileWaitsForThatLoad) {
  ASSERT_TRUE(std::filesystem::exists(dlibWeightsPath()))
      << "missing " << dlibWeightsPath() << ": run scripts/make-dlib-weights to make it";
  ASSERT_TRUE(NativeDlib::load(dlibWeightsPath()));
  const std::string pipe = home() + "/weights.dat";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);

  std::promise<bool> loaded;
  std::thread loader([&] { loaded.set_value(NativeDlib::load(pipe)); });
  const int writer = ::open(pipe.c_str(), O_WRONLY);  // returns once the load has it open
  ASSERT_GE(writer, 0);

  std::atomic<pid_t> askerId{0};
  std::promise<bool> answered;
  std::future<bool> answer = answered.get_future();
  std::thread asker([&] {
    askerId = ::gettid();
    answered.set_value(NativeDlib::isLoaded());
  });
  // The question has been answered (by a facade that does not hold its lock around the
  // bridge call) or waits for the lock: only then does the load get its file.
  EXPECT_TRUE(finishesOrWaitsOnALock(
      [&] { return answer.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, askerId));
  EXPECT_EQ(::write(writer, "x", 1), 1);
  ::close(writer);
  loader.join();
  asker.join();
  EXPECT_FALSE(loaded.get_future().get());
  EXPECT_FALSE(answer.get()) << "asked during a failing load, answered with the load before it";
}

}  // namespace
}  // namespace quorvel::testing
