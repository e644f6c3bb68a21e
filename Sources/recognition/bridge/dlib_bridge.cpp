#include "recognition/bridge/dlib_bridge.hpp"

#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "recognition/bridge/dlib_network.hpp"

namespace {

using quorvel::dlib_net::anet_type;
using quorvel::dlib_net::kDescriptorLength;
using quorvel::dlib_net::kInputSide;

constexpr long kBytesPerPixel = 3;
constexpr long kBytesPerRow = kInputSide * kBytesPerPixel;

// Held from start to end by every load and every embedding in the process, so the
// network is never run by two threads at once nor replaced while it runs.
std::mutex g_mutex;
// The loaded network; empty until a load succeeds, replaced only by a successful load.
std::unique_ptr<anet_type> g_net;

}  // namespace

extern "C" int32_t dlib_bridge_load(const char* path) {
    std::lock_guard<std::mutex> hold(g_mutex);
    if (path == nullptr) {
        return 0;
    }
    try {
        auto net = std::make_unique<anet_type>();
        dlib::deserialize(std::string(path)) >> *net;
        g_net = std::move(net);
        return 1;
    } catch (...) {
        // The new network (if any was made) is destroyed here; g_net is untouched.
        return 0;
    }
}

extern "C" int32_t dlib_bridge_embed(const uint8_t* rgb, float* out) {
    std::lock_guard<std::mutex> hold(g_mutex);
    if (!g_net || rgb == nullptr || out == nullptr) {
        return 0;
    }
    try {
        dlib::matrix<dlib::rgb_pixel> image(kInputSide, kInputSide);
        for (long row = 0; row < kInputSide; ++row) {
            const uint8_t* source = rgb + row * kBytesPerRow;
            for (long column = 0; column < kInputSide; ++column) {
                const uint8_t* pixel = source + column * kBytesPerPixel;
                image(row, column) = dlib::rgb_pixel(pixel[0], pixel[1], pixel[2]);
            }
        }
        const dlib::matrix<float, 0, 1> descriptor = (*g_net)(image);
        if (descriptor.size() != kDescriptorLength) {
            return 0;
        }
        std::memcpy(out, &descriptor(0), sizeof(float) * kDescriptorLength);
        return 1;
    } catch (...) {
        return 0;
    }
}
