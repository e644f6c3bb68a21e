// One face descriptor through the native bridge: dlib_bridge_embed on a 150 x 150 image
// with the converted weights.
//
// Measure on one core: the caller sets OPENBLAS_NUM_THREADS=1 (and pins the process, e.g.
// `OPENBLAS_NUM_THREADS=1 taskset -c 0 bench_dlib_bridge`). The bridge itself never
// changes the BLAS thread count. Needs tools/convert/dlib_face_recognition_resnet_model_v1.dat
// (scripts/make-dlib-weights).

#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "recognition/bridge/dlib_bridge.hpp"

namespace {

#ifndef QUORVEL_SOURCE_DIR
#error "QUORVEL_SOURCE_DIR must name the repository root"
#endif

const std::string kWeights =
    QUORVEL_SOURCE_DIR "/tools/convert/dlib_face_recognition_resnet_model_v1.dat";

void BM_DlibBridgeEmbed(benchmark::State& state) {
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
    for (auto _ : state) {
        if (dlib_bridge_embed(image.data(), descriptor.data()) != 1) {
            state.SkipWithError("dlib_bridge_embed failed");
            break;
        }
        benchmark::DoNotOptimize(descriptor.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_DlibBridgeEmbed)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace
