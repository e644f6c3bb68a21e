// The bridge in a process that has never loaded a network. Kept in its own test program:
// any other test that loads would change what this one sees.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "bridge/lock_waits.hpp"
#include "recognition/bridge/dlib_bridge.hpp"

namespace {

TEST(UnloadedBridgeTest, EmbedsNothingUntilANetworkIsLoaded) {
    const std::vector<uint8_t> image(67'500, 128);
    std::array<float, 128> out;
    out.fill(-12345.0f);
    const std::array<float, 128> untouched = out;

    EXPECT_EQ(dlib_bridge_embed(image.data(), out.data()), 0);
    EXPECT_EQ(out, untouched);

    // A failed load does not leave a network behind.
    EXPECT_EQ(dlib_bridge_load("/nonexistent/dlib_face_recognition_resnet_model_v1.dat"), 0);
    EXPECT_EQ(dlib_bridge_load(nullptr), 0);
    EXPECT_EQ(dlib_bridge_embed(image.data(), out.data()), 0);
    EXPECT_EQ(out, untouched);
}

// A load holds the bridge's lock from start to end: an embedding asked while a load is still
// reading its file waits for that load (here a pipe the test feeds, which the load fails on).
TEST(UnloadedBridgeTest, AnEmbeddingWaitsForALoadInProgress) {
    char folder[] = "/tmp/quorvel-bridge-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    const std::string pipe = std::string(folder) + "/weights.dat";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);

    std::atomic<bool> fed{false};  // the load's file has had its data
    std::thread loader([&] {
        EXPECT_EQ(dlib_bridge_load(pipe.c_str()), 0);
        // Should the load never have opened the pipe, this lets the writer's open return.
        const int reader = ::open(pipe.c_str(), O_RDONLY | O_NONBLOCK);
        if (reader >= 0) ::close(reader);
    });
    // Returns once the load has the pipe open, that is inside the load.
    const int writer = ::open(pipe.c_str(), O_WRONLY);
    ASSERT_GE(writer, 0);

    std::promise<bool> embedded;  // whether the load could go on when the embedding returned
    std::atomic<pid_t> embedderId{0};
    std::thread embedder([&] {
        embedderId = ::gettid();
        const std::vector<uint8_t> image(67'500, 128);
        std::array<float, 128> out{};
        dlib_bridge_embed(image.data(), out.data());
        embedded.set_value(fed.load());
    });
    std::future<bool> result = embedded.get_future();
    // An unguarded embedding returns; a guarded one waits for the load's lock.
    EXPECT_TRUE(quorvel::testing::finishesOrWaitsOnALock(
        [&] { return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
        embedderId));
    fed = true;
    EXPECT_EQ(::write(writer, "x", 1), 1);
    ::close(writer);
    loader.join();
    embedder.join();
    EXPECT_TRUE(result.get()) << "the embedding ran while a load was in progress";
    ::unlink(pipe.c_str());
    ::rmdir(folder);
}

}  // namespace
