// One face descriptor through the native bridge: dlib_bridge_embed on a 150 x 150 image
// with the converted weights, on the BLAS threads the application gives it (one, unless
// OPENBLAS_NUM_THREADS says otherwise; the count is printed). Pin it to measure:
// `taskset -c 0 bench_dlib_bridge`. Needs tools/convert/dlib_face_recognition_resnet_model_v1.dat
// (scripts/make-dlib-weights).

#include <benchmark/benchmark.h>

#include <array>
#include <cstdio>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/compute/compute.hpp"
#include "recognition/bridge/dlib_bridge.hpp"

namespace {

#ifndef QUORVEL_SOURCE_DIR
#error "QUORVEL_SOURCE_DIR must name the repository root"
#endif

const std::string kWeights =
    QUORVEL_SOURCE_DIR "/tools/convert/dlib_face_recognition_resnet_model_v1.dat";

void BM_DlibBridgeEmbed(benchmark::State& state) {
    platform::compute::limitThreads();
    static const bool printed = [] {
        std::printf("BLAS threads: %d\n", platform::compute::blasThreads());
        return true;
    }();
    (void)printed;
    if (dlib_bridge_load(kWeights.c_str()) != 1) {
        state.SkipWithError(("cannot load " + kWeights + ": run scripts/make-dlib-weights").c_str());
        return;
    }
    // A smooth colour gradient: the network's work does not depend on the pixel values.
    std::vector<uint8_t> image(67'500);
    for (int r = 0; r < 150; ++r) {
        for (int c = 0; c < 150; ++c) {
            uint8_t* pixel = &image[static_cast<size_t>(r * 150 + c) * 3];
            pixel[0] = static_cast<uint8_t>(r * 255 / 149);
            pixel[1] = static_cast<uint8_t>(c * 255 / 149);
            pixel[2] = static_cast<uint8_t>((r + c) * 255 / 298);
        }
    }
    std::array<float, 128> descriptor{};
    dlib_bridge_embed(image.data(), descriptor.data());  // warms up before timing
    for (auto _ : state) {
        if (dlib_bridge_embed(image.data(), descriptor.data()) != 1) {
            state.SkipWithError("dlib_bridge_embed failed");
            break;
        }
        benchmark::DoNotOptimize(descriptor.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_DlibBridgeEmbed)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace
