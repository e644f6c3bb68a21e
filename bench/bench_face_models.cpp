// The model host on a real face: one dlib descriptor from an aligned face, one liveness
// estimate, and the whole per-frame road on a 1280 x 720 frame (largest face, alignment,
// descriptor, score against 37 stored descriptors, liveness of the wide square).
// Uses the bundle beside the executable (scripts/make-dlib-weights, then scripts/build).
// Run on one core:
//   OPENBLAS_NUM_THREADS=1 taskset -c 0 ./bench_face_models --benchmark_repetitions=10
//       --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "foundation/recognition_engine.hpp"
#include "platform/image/context.hpp"
#include "platform/image/image.hpp"
#include "platform/image/image_io.hpp"
#include "real_face_frame.hpp"
#include "recognition/face_aligner.hpp"
#include "recognition/face_detector.hpp"
#include "recognition/face_models.hpp"
#include "recognition/face_tensors.hpp"
#include "recognition/match_engine.hpp"

namespace {

using namespace quorvel;
using platform::Rect;
using platform::image::PixelBuffer;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::exit(1);
}

std::shared_ptr<PixelBuffer> realFaceFrame() {
  static const std::shared_ptr<PixelBuffer> frame = bench::makeRealFaceFrame();
  return frame;
}

FaceObservation realFace() {
  static const FaceObservation face = [] {
    const auto found = FaceDetector::shared().largestFace(realFaceFrame());
    if (!found) fail("No face found in the benchmark frame");
    return *found;
  }();
  return face;
}

platform::ml::MultiArray livenessInput(const std::shared_ptr<PixelBuffer>& frame) {
  const auto square = FaceAligner::shared().wideSquare(frame);
  if (!square) fail("No wide square of the frame");
  auto input = FaceTensors::shared().tensor(*square, 128, FaceTensors::Normalisation::unit());
  if (!input) fail("No liveness input");
  return std::move(*input);
}

// Enrolled descriptors: the frame's own descriptor moved a little in 37 different ways.
std::vector<FaceDescriptor> storedDescriptors(const FaceDescriptor& probe) {
  std::vector<FaceDescriptor> stored;
  for (int k = 0; k < 37; ++k) {
    FaceDescriptor d = probe;
    for (std::size_t i = 0; i < d.size(); ++i) d[i] += 0.02f * std::sin(float(k * 131 + i * 17));
    stored.push_back(std::move(d));
  }
  return stored;
}

void BM_DlibEmbeddingFromAligned(benchmark::State& state) {
  const auto aligned =
      FaceAligner::shared().alignedFace(realFaceFrame(), realFace(), FaceEngineSpec::dlib);
  if (!aligned) fail("The face cannot be aligned");
  const auto& context = *FaceAligner::shared().ciContext();
  if (!FaceModels::shared().embedding(*aligned, FaceEngineSpec::dlib, context)) {
    fail("No dlib descriptor: run scripts/make-dlib-weights, then scripts/build");
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(FaceModels::shared().embedding(*aligned, FaceEngineSpec::dlib, context));
  }
}
BENCHMARK(BM_DlibEmbeddingFromAligned)->Unit(benchmark::kMillisecond);

void BM_Liveness(benchmark::State& state) {
  const auto input = livenessInput(realFaceFrame());
  if (!FaceModels::shared().liveness(input)) fail("No liveness: is MiniFAS in the bundle?");
  for (auto _ : state) benchmark::DoNotOptimize(FaceModels::shared().liveness(input));
}
BENCHMARK(BM_Liveness)->Unit(benchmark::kMillisecond);

void BM_FrameRoad(benchmark::State& state) {
  const auto frame = realFaceFrame();
  const auto& context = *FaceAligner::shared().ciContext();
  const auto first = FaceModels::shared().embedding(
      *FaceAligner::shared().alignedFace(frame, realFace(), FaceEngineSpec::dlib),
      FaceEngineSpec::dlib, context);
  if (!first) fail("No dlib descriptor");
  const std::vector<FaceDescriptor> stored = storedDescriptors(*first);
  const MatchEngine engine(FaceEngineSpec::dlib);
  for (auto _ : state) {
    const auto face = FaceDetector::shared().largestFace(frame);
    if (!face) fail("No face");
    const auto aligned = FaceAligner::shared().alignedFace(frame, *face, FaceEngineSpec::dlib);
    if (!aligned) fail("No alignment");
    const auto descriptor = FaceModels::shared().embedding(*aligned, FaceEngineSpec::dlib, context);
    if (!descriptor) fail("No descriptor");
    benchmark::DoNotOptimize(engine.matchScore(*descriptor, stored));
    benchmark::DoNotOptimize(FaceModels::shared().liveness(livenessInput(frame)));
  }
}
BENCHMARK(BM_FrameRoad)->Unit(benchmark::kMillisecond);

}  // namespace
