// Per-frame cost of the recognition input on 1280 x 720 BGRA frames of a real face: finding
// the largest face, aligning and rendering it for the dlib network, and the two model tensors.
// The face search runs on up to 4 threads (as many as the process may use; the count is
// printed). Four cores, then one:
//   taskset -c 0-3 ./bench_recognition_input --benchmark_repetitions=10
//       --benchmark_report_aggregates_only=true
//   taskset -c 0 ./bench_recognition_input ...
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>

#include "foundation/recognition_engine.hpp"
#include "platform/image/context.hpp"
#include "platform/image/image.hpp"
#include "platform/image/image_io.hpp"
#include "real_face_frame.hpp"
#include "recognition/face_aligner.hpp"
#include "recognition/face_detector.hpp"
#include "recognition/face_tensors.hpp"

namespace {

using namespace quorvel;
using platform::Rect;
using platform::image::PixelBuffer;

std::shared_ptr<PixelBuffer> realFaceFrame() {
  static const std::shared_ptr<PixelBuffer> frame = bench::makeRealFaceFrame();
  return frame;
}

FaceObservation realFace() {
  static const FaceObservation face = [] {
    const auto found = FaceDetector::shared().largestFace(realFaceFrame());
    if (!found) {
      std::fprintf(stderr, "No face found in the benchmark frame\n");
      std::exit(1);
    }
    return *found;
  }();
  return face;
}

void BM_LargestFace(benchmark::State& state) {
  const auto frame = realFaceFrame();
  realFace();  // loads the models and warms up before timing
  bench::printThreads();
  state.counters["threads"] = platform::vision::DlibFaceLandmarksDetector::shared()->searchThreads();
  for (auto _ : state) benchmark::DoNotOptimize(FaceDetector::shared().largestFace(frame));
}
BENCHMARK(BM_LargestFace)->Unit(benchmark::kMillisecond);

// What the dlib bridge gets: the aligned face rendered to 150 x 150 RGB bytes.
void BM_AlignedFaceRender150(benchmark::State& state) {
  const auto frame = realFaceFrame();
  const auto face = realFace();
  const auto& context = *FaceAligner::shared().ciContext();
  for (auto _ : state) {
    const auto aligned = FaceAligner::shared().alignedFace(frame, face, FaceEngineSpec::dlib);
    benchmark::DoNotOptimize(context.renderBitmap(*aligned, Rect(0, 0, 150, 150),
                                                  platform::image::BitmapFormat::RGB8));
  }
}
BENCHMARK(BM_AlignedFaceRender150)->Unit(benchmark::kMillisecond);

// The recognition input of the arcface model: aligned at 256, tensor of side 112.
void BM_Tensor112(benchmark::State& state) {
  const auto frame = realFaceFrame();
  const auto aligned = FaceAligner::shared().alignedFace(frame, realFace(), FaceEngineSpec::arcface);
  const auto normalisation = FaceTensors::Normalisation::forEngine(FaceEngineSpec::arcface);
  for (auto _ : state) {
    benchmark::DoNotOptimize(FaceTensors::shared().tensor(*aligned, 112, normalisation));
  }
}
BENCHMARK(BM_Tensor112)->Unit(benchmark::kMillisecond);

// The liveness input: the frame's wide square, tensor of side 128 in 0 to 1.
void BM_Tensor128WideSquare(benchmark::State& state) {
  const auto frame = realFaceFrame();
  const auto square = FaceAligner::shared().wideSquare(frame);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        FaceTensors::shared().tensor(*square, 128, FaceTensors::Normalisation::unit()));
  }
}
BENCHMARK(BM_Tensor128WideSquare)->Unit(benchmark::kMillisecond);

}  // namespace
