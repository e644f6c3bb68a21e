// The converted weight file against descriptors of the same network computed from the
// published TensorFlow.js weights (dlib 19.24, to within 3e-6 of that network).

#include <gtest/gtest.h>

#include <array>

#include "bridge_test_support.hpp"
#include "recognition/bridge/dlib_bridge.hpp"

namespace quorvel::bridge_test {
namespace {

constexpr double kTolerance = 1e-4;

class ConvertedWeightsTest : public ::testing::Test {
protected:
    void SetUp() override {
        QUORVEL_REQUIRE_WEIGHTS();
        ASSERT_EQ(dlib_bridge_load(weightsPath().c_str()), 1);
    }

    static Descriptor embed(const Image& image) {
        Descriptor out = sentinelDescriptor();
        EXPECT_EQ(dlib_bridge_embed(image.data(), out.data()), 1);
        return out;
    }

    static void expectStartsWith(const Descriptor& d, const std::array<double, 8>& expected) {
        for (size_t i = 0; i < expected.size(); ++i) {
            EXPECT_NEAR(d[i], expected[i], kTolerance) << "value " << i;
        }
    }
};

TEST_F(ConvertedWeightsTest, UniformGreyFaceGivesTheReferenceDescriptor) {
    const Descriptor grey = embed(uniformImage(128, 128, 128));
    expectStartsWith(grey, {-0.0400259, 0.1299019, 0.0650314, -0.0095882, -0.0830846, -0.0370157,
                            -0.0987218, -0.0284627});
    EXPECT_NEAR(length(grey), 1.342658, kTolerance);
}

TEST_F(ConvertedWeightsTest, GradientImageGivesTheReferenceDescriptor) {
    const Descriptor gradient = embed(gradientImage());
    expectStartsWith(gradient, {-0.0943643, 0.1277272, 0.0286513, -0.0699226, -0.0568278,
                                -0.0513408, -0.0632039, -0.0269738});
    EXPECT_NEAR(length(gradient), 1.317468, kTolerance);
}

TEST_F(ConvertedWeightsTest, DistanceBetweenTheReferenceImages) {
    EXPECT_NEAR(distance(embed(uniformImage(128, 128, 128)), embed(gradientImage())), 0.412305,
                kTolerance);
}

}  // namespace
}  // namespace quorvel::bridge_test
