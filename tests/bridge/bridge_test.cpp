// dlib_bridge_load / dlib_bridge_embed with the converted weights: loading, replacing,
// refusing, and what reaches the caller's buffer. (Embedding before any load needs a
// process that never loaded: see tests/bridge_unloaded.)

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <thread>
#include <vector>

#include "bridge_test_support.hpp"
#include "recognition/bridge/dlib_bridge.hpp"
#include "recognition/bridge/dlib_network.hpp"

namespace quorvel::bridge_test {
namespace {

constexpr const char* kShapePredictor = "/usr/share/dlib/shape_predictor_68_face_landmarks.dat";

class BridgeTest : public ::testing::Test {
protected:
    void SetUp() override {
        QUORVEL_REQUIRE_WEIGHTS();
        ASSERT_EQ(dlib_bridge_load(weightsPath().c_str()), 1);
    }

    // Embeds and expects success.
    static Descriptor embed(const Image& image) {
        Descriptor out = sentinelDescriptor();
        EXPECT_EQ(dlib_bridge_embed(image.data(), out.data()), 1);
        return out;
    }

    // Loads `path`, expects it refused, and checks the network loaded before still answers.
    static void expectRefusedKeepingNetwork(const std::string& path) {
        const Descriptor before = embed(uniformImage(128, 128, 128));
        EXPECT_EQ(dlib_bridge_load(path.c_str()), 0) << path;
        EXPECT_EQ(embed(uniformImage(128, 128, 128)), before) << "after refusing " << path;
    }
};

TEST_F(BridgeTest, RefusesFilesThatAreNotThisNetwork) {
    {
        SCOPED_TRACE("missing file");
        expectRefusedKeepingNetwork("/nonexistent/dlib_face_recognition_resnet_model_v1.dat");
    }
    {
        SCOPED_TRACE("a folder");
        TempFile folder("folder");
        std::filesystem::create_directory(folder.path());
        expectRefusedKeepingNetwork(folder.string());
    }
    {
        SCOPED_TRACE("empty file");
        TempFile empty("empty.dat");
        empty.write({});
        expectRefusedKeepingNetwork(empty.string());
    }
    {
        SCOPED_TRACE("truncated weights");
        std::vector<char> bytes = readFile(weightsPath());
        bytes.resize(bytes.size() / 2);
        TempFile truncated("truncated.dat");
        truncated.write(bytes);
        expectRefusedKeepingNetwork(truncated.string());
    }
    {
        SCOPED_TRACE("weights with their last byte cut off");
        std::vector<char> bytes = readFile(weightsPath());
        bytes.pop_back();
        TempFile truncated("short.dat");
        truncated.write(bytes);
        expectRefusedKeepingNetwork(truncated.string());
    }
    {
        SCOPED_TRACE("another dlib model (68-point shape predictor)");
        ASSERT_TRUE(std::filesystem::exists(kShapePredictor))
            << kShapePredictor << " is missing: install libdlib-data";
        expectRefusedKeepingNetwork(kShapePredictor);
    }
}

TEST_F(BridgeTest, ValidFileLoadsAfterAFailedAttempt) {
    EXPECT_EQ(dlib_bridge_load("/nonexistent/weights.dat"), 0);
    EXPECT_EQ(dlib_bridge_load(weightsPath().c_str()), 1);
    embed(gradientImage());
}

TEST_F(BridgeTest, SecondSuccessfulLoadReplacesTheNetwork) {
    const Image image = gradientImage();
    const Descriptor original = embed(image);

    // The same network with its last layer negated gives exactly the negated descriptor.
    TempFile negatedFile("negated.dat");
    {
        auto net = std::make_unique<dlib_net::anet_type>();
        dlib::deserialize(weightsPath()) >> *net;
        dlib::tensor& fc = dlib::layer<1>(*net).layer_details().get_layer_params();
        for (float* v = fc.host(); v != fc.host() + fc.size(); ++v) *v = -*v;
        dlib::serialize(negatedFile.string()) << *net;
    }
    ASSERT_EQ(dlib_bridge_load(negatedFile.string().c_str()), 1);
    const Descriptor negated = embed(image);
    for (size_t i = 0; i < kDescriptorLength; ++i) {
        EXPECT_FLOAT_EQ(negated[i], -original[i]) << "value " << i;
    }

    ASSERT_EQ(dlib_bridge_load(weightsPath().c_str()), 1);
    EXPECT_EQ(embed(image), original);
}

TEST_F(BridgeTest, SameImageTwiceGivesIdenticalValues) {
    const Image image = gradientImage();
    const Descriptor first = embed(image);
    embed(uniformImage(0, 0, 0));  // nothing carries over from one image to the next
    EXPECT_EQ(embed(image), first);
}

TEST_F(BridgeTest, ReadsPixelsRedFirstWithTheTopRowFirst) {
    const Image image = gradientImage();
    const Descriptor reference = embed(image);

    Image swappedChannels = image;
    for (size_t i = 0; i < kImageBytes; i += 3) std::swap(swappedChannels[i], swappedChannels[i + 2]);
    Image flipped(kImageBytes);
    for (int r = 0; r < kSide; ++r) {
        std::copy_n(&image[size_t(r) * kSide * 3], kSide * 3, &flipped[size_t(kSide - 1 - r) * kSide * 3]);
    }
    // A network that reads bytes in another order would give these the reference values.
    EXPECT_GT(distance(embed(swappedChannels), reference), 0.01);
    EXPECT_GT(distance(embed(flipped), reference), 0.01);
    EXPECT_EQ(embed(image), reference);
}

TEST_F(BridgeTest, NullPointersAreRefusedWithoutHarm) {
    const Descriptor before = embed(uniformImage(128, 128, 128));
    EXPECT_EQ(dlib_bridge_load(nullptr), 0);
    EXPECT_EQ(embed(uniformImage(128, 128, 128)), before);

    Descriptor out = sentinelDescriptor();
    EXPECT_EQ(dlib_bridge_embed(nullptr, out.data()), 0);
    EXPECT_EQ(out, sentinelDescriptor());
    EXPECT_EQ(dlib_bridge_embed(gradientImage().data(), nullptr), 0);
}

TEST_F(BridgeTest, ConcurrentEmbeddingsAndLoadsGiveUndisturbedResults) {
    const Image image = gradientImage();
    const Descriptor expected = embed(image);

    std::atomic<int> wrong{0};
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 3; ++i) {
                Descriptor out = sentinelDescriptor();
                if (dlib_bridge_embed(image.data(), out.data()) != 1) ++failed;
                else if (out != expected) ++wrong;
            }
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < 2; ++i) {
            if (dlib_bridge_load(weightsPath().c_str()) != 1) ++failed;
            if (dlib_bridge_load("/nonexistent") != 0) ++failed;
        }
    });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(wrong, 0);
}

}  // namespace
}  // namespace quorvel::bridge_test
