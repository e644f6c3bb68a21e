// The bridge in a process that has never loaded a network. Kept in its own test program:
// any other test that loads would change what this one sees.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

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

}  // namespace
