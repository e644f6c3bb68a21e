// dlib_bridge_load / dlib_bridge_embed with the converted weights: the reference descriptors,
// loading, replacing, refusing, and what reaches the caller's buffer. (Embedding before any
// load needs a process that never loaded: see tests/bridge_unloaded.)

#include <gtest/gtest.h>

#include <stdlib.h>

#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <thread>
#include <vector>

#include "recognition/bridge/dlib_bridge.hpp"
#include "recognition/bridge/dlib_network.hpp"
#include "support/face_models_hooks.hpp"

namespace quorvel::testing {
namespace {

constexpr int kSide = 150;
constexpr size_t kImageBytes = 67'500;
constexpr const char* kShapePredictor = "/usr/share/dlib/shape_predictor_68_face_landmarks.dat";

using Image = std::vector<uint8_t>;
using Descriptor = std::array<float, 128>;

// 150 x 150 RGB, top row first, rows packed: uniform grey.
const Image kGrey(kImageBytes, 128);

// Pixel (row r, column c) = (r*255/149, c*255/149, (r+c)*255/298), in integers: red
// follows the rows and green the columns, so a swapped axis or channel order shows.
Image gradientImage() {
    Image image(kImageBytes);
    for (int r = 0; r < kSide; ++r) {
        for (int c = 0; c < kSide; ++c) {
            uint8_t* pixel = &image[static_cast<size_t>(r * kSide + c) * 3];
            pixel[0] = static_cast<uint8_t>(r * 255 / 149);
            pixel[1] = static_cast<uint8_t>(c * 255 / 149);
            pixel[2] = static_cast<uint8_t>((r + c) * 255 / 298);
        }
    }
    return image;
}

double distance(const Descriptor& a, const Descriptor& b) {
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i) sum += double(a[i] - b[i]) * (a[i] - b[i]);
    return std::sqrt(sum);
}

// A descriptor buffer filled with a value no network produces, to see whether it was written.
Descriptor sentinelDescriptor() {
    Descriptor d;
    d.fill(-12345.0f);
    return d;
}

class BridgeTest : public ::testing::Test {
protected:
    void SetUp() override {
        // A missing weight file fails the test; it is never skipped.
        ASSERT_TRUE(std::filesystem::exists(dlibWeightsPath()))
            << "missing " << dlibWeightsPath() << ": run scripts/make-dlib-weights to make it";
        ASSERT_EQ(dlib_bridge_load(dlibWeightsPath().c_str()), 1);
        char pattern[] = "/tmp/quorvel-bridge-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        folder = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        if (!folder.empty()) std::filesystem::remove_all(folder, ignored);
    }

    // A copy of the weights in the test's folder, cut to `size` bytes; returns its path.
    std::string cutWeights(const std::string& name, std::uintmax_t size) const {
        const std::string path = folder + "/" + name;
        std::filesystem::copy_file(dlibWeightsPath(), path);
        std::filesystem::resize_file(path, size);
        return path;
    }

    // Embeds and expects success.
    static Descriptor embed(const Image& image) {
        Descriptor out = sentinelDescriptor();
        EXPECT_EQ(dlib_bridge_embed(image.data(), out.data()), 1);
        return out;
    }

    std::string folder;
};

// Descriptors of the same network computed from the published TensorFlow.js weights (dlib
// 19.24, to within 3e-6 of that network). The gradient's values pin the order the bytes are
// read in (red first, the top row first) and, after the grey image's, that nothing carries over.
TEST_F(BridgeTest, TheConvertedWeightsGiveTheReferenceDescriptors) {
    struct Reference {
        const char* what;
        Image image;
        std::array<double, 8> head;
        double length;
    };
    const Reference references[] = {
        {"uniform grey", kGrey,
         {-0.0400259, 0.1299019, 0.0650314, -0.0095882, -0.0830846, -0.0370157, -0.0987218, -0.0284627},
         1.342658},
        {"gradient", gradientImage(),
         {-0.0943643, 0.1277272, 0.0286513, -0.0699226, -0.0568278, -0.0513408, -0.0632039, -0.0269738},
         1.317468},
    };
    std::vector<Descriptor> described;
    for (const Reference& reference : references) {
        SCOPED_TRACE(reference.what);
        const Descriptor d = embed(reference.image);
        for (size_t i = 0; i < reference.head.size(); ++i) EXPECT_NEAR(d[i], reference.head[i], 1e-4) << i;
        EXPECT_NEAR(distance(d, Descriptor{}), reference.length, 1e-4);
        described.push_back(d);
    }
    EXPECT_NEAR(distance(described[0], described[1]), 0.412305, 1e-4);
}

// A second good file replaces the network; a refused file (or a null path) keeps the network
// loaded before, here the replacement; the first file loads again after the refusals.
TEST_F(BridgeTest, GoodFilesReplaceTheNetworkAndRefusedFilesOrNullPointersKeepIt) {
    const Image image = gradientImage();
    const Descriptor original = embed(image);

    // The same network with its last layer negated gives exactly the negated descriptor.
    const std::string negatedFile = folder + "/negated.dat";
    {
        auto net = std::make_unique<dlib_net::anet_type>();
        dlib::deserialize(dlibWeightsPath()) >> *net;
        dlib::tensor& fc = dlib::layer<1>(*net).layer_details().get_layer_params();
        for (float* v = fc.host(); v != fc.host() + fc.size(); ++v) *v = -*v;
        dlib::serialize(negatedFile) << *net;
    }
    ASSERT_EQ(dlib_bridge_load(negatedFile.c_str()), 1);
    const Descriptor negated = embed(image);
    for (size_t i = 0; i < negated.size(); ++i) {
        EXPECT_FLOAT_EQ(negated[i], -original[i]) << "value " << i;
    }

    const std::uintmax_t size = std::filesystem::file_size(dlibWeightsPath());
    std::filesystem::create_directory(folder + "/a folder");
    ASSERT_TRUE(std::filesystem::exists(kShapePredictor)) << kShapePredictor << " is missing: install libdlib-data";
    const std::string refused[] = {
        "/nonexistent/dlib_face_recognition_resnet_model_v1.dat",
        folder + "/a folder",
        cutWeights("empty.dat", 0),
        cutWeights("truncated.dat", size / 2),
        cutWeights("short.dat", size - 1),  // the last byte cut off
        kShapePredictor,  // another dlib model
    };
    EXPECT_EQ(dlib_bridge_load(nullptr), 0);
    EXPECT_EQ(embed(image), negated);
    for (const std::string& path : refused) {
        EXPECT_EQ(dlib_bridge_load(path.c_str()), 0) << path;
        EXPECT_EQ(embed(image), negated) << "after refusing " << path;
    }
    ASSERT_EQ(dlib_bridge_load(dlibWeightsPath().c_str()), 1);
    EXPECT_EQ(embed(image), original);

    // Null pointers are refused without harm: nothing is written.
    Descriptor out = sentinelDescriptor();
    EXPECT_EQ(dlib_bridge_embed(nullptr, out.data()), 0);
    EXPECT_EQ(out, sentinelDescriptor());
    EXPECT_EQ(dlib_bridge_embed(image.data(), nullptr), 0);
}

TEST_F(BridgeTest, ConcurrentEmbeddingsAndLoadsGiveUndisturbedResults) {
    const Image image = gradientImage();
    const Descriptor expected = embed(image);

    std::atomic<int> wrong{0}, failed{0};
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
            if (dlib_bridge_load(dlibWeightsPath().c_str()) != 1) ++failed;
            if (dlib_bridge_load("/nonexistent") != 0) ++failed;
        }
    });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(wrong, 0);
}

}  // namespace
}  // namespace quorvel::testing
