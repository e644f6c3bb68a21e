// The model host on a real face: one dlib descriptor from an aligned face, one liveness
// estimate, and the whole per-frame road of an unlock attempt on a 1280 x 720 frame: the
// open-hand check (the Linux hand-pose layer), the largest face, alignment, descriptor, score
// against 37 stored descriptors, liveness of the wide square. BM_FrameRoadInOrder makes the
// steps one after the other. Both report each step's mean time (ms) as counters; in
// BM_FrameRoad the face steps are made ahead, alongside the open-hand check (as the unlock
// coordinator makes them), and "face" is the wait for them after the check.
// Uses the bundle beside the executable (scripts/make-dlib-weights, then scripts/build).
// Every benchmark warms up before it times, and the thread counts are printed. Four cores,
// then one:
//   taskset -c 0-3 ./bench_face_models --benchmark_repetitions=10
//       --benchmark_report_aggregates_only=true
//   taskset -c 0 ./bench_face_models ...
#include <benchmark/benchmark.h>

#include <chrono>
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
#include "recognition/face_work.hpp"
#include "recognition/match_engine.hpp"
#include "recognition/palm_detector.hpp"

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
  bench::printThreads();
  for (auto _ : state) {
    benchmark::DoNotOptimize(FaceModels::shared().embedding(*aligned, FaceEngineSpec::dlib, context));
  }
}
BENCHMARK(BM_DlibEmbeddingFromAligned)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Liveness(benchmark::State& state) {
  const auto input = livenessInput(realFaceFrame());
  if (!FaceModels::shared().liveness(input)) fail("No liveness: is MiniFAS in the bundle?");
  bench::printThreads();
  for (auto _ : state) benchmark::DoNotOptimize(FaceModels::shared().liveness(input));
}
BENCHMARK(BM_Liveness)->Unit(benchmark::kMillisecond)->UseRealTime();

using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point& start) {
  const auto now = Clock::now();
  const double ms = std::chrono::duration<double, std::milli>(now - start).count();
  start = now;
  return ms;
}

// The frame road; `ahead`: the face request runs alongside the open-hand check.
void frameRoad(benchmark::State& state, bool ahead) {
  const auto frame = realFaceFrame();
  const auto& context = *FaceAligner::shared().ciContext();
  const auto first = FaceModels::shared().embedding(
      *FaceAligner::shared().alignedFace(frame, realFace(), FaceEngineSpec::dlib),
      FaceEngineSpec::dlib, context);
  if (!first) fail("No dlib descriptor");
  const std::vector<FaceDescriptor> stored = storedDescriptors(*first);
  const MatchEngine engine(FaceEngineSpec::dlib);
  enum { palm, face, align, embed, score, liveness, steps };
  double spent[steps] = {};
  const auto road = [&] {
    auto start = Clock::now();
    FaceWork work(frame, ahead, true);
    if (PalmDetector::openHandPresent(*frame)) fail("The face frame reads as an open hand");
    spent[palm] += millisecondsSince(start);
    const auto found = work.largestFace();
    if (!found) fail("No face");
    spent[face] += millisecondsSince(start);
    const auto aligned = work.alignedFace(*found, FaceEngineSpec::dlib);
    if (!aligned) fail("No alignment");
    spent[align] += millisecondsSince(start);
    const auto descriptor = work.embedding(*aligned, FaceEngineSpec::dlib, context);
    if (!descriptor) fail("No descriptor");
    spent[embed] += millisecondsSince(start);
    benchmark::DoNotOptimize(engine.matchScore(*descriptor, stored));
    spent[score] += millisecondsSince(start);
    benchmark::DoNotOptimize(FaceModels::shared().liveness(livenessInput(frame)));
    spent[liveness] += millisecondsSince(start);
  };
  for (int i = 0; i < 5; ++i) road();  // loads the hand models and warms up
  bench::printThreads();
  std::fill(std::begin(spent), std::end(spent), 0.0);
  for (auto _ : state) road();
  const char* names[steps] = {"palm", "face", "align", "embed", "score", "liveness"};
  for (int i = 0; i < steps; ++i) {
    state.counters[names[i]] = benchmark::Counter(spent[i], benchmark::Counter::kAvgIterations);
  }
}

void BM_FrameRoad(benchmark::State& state) { frameRoad(state, true); }
BENCHMARK(BM_FrameRoad)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_FrameRoadInOrder(benchmark::State& state) { frameRoad(state, false); }
BENCHMARK(BM_FrameRoadInOrder)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
