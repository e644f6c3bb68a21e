// One hand-pose request of the Linux detector on a 1280 x 720 frame, as the open-hand test
// makes it on every frame of an unlock attempt (one hand asked for):
// - NoHand: a face and no hand (the palm detector runs; no palm passes);
// - HandFollowed: a hand that the previous request found (the landmark model alone runs);
// - HandFirstSeen: a hand the detector did not see before (palm detector, then two landmark
//   reads).
// Wall-clock times; the networks use OpenCV's thread pool (the count is printed). Medians:
//   ./bench_hand_pose --benchmark_repetitions=10 --benchmark_report_aggregates_only=true
// One core: taskset -c 0 ./bench_hand_pose ... (OpenCV then runs one thread).
#include <benchmark/benchmark.h>

#include <cstdio>

#include "platform/bundle/bundle.hpp"
#include "platform/image/context.hpp"
#include "platform/image/image.hpp"
#include "platform/image/image_io.hpp"
#include "platform/vision/hand_pose_linux.hpp"
#include "real_face_frame.hpp"

namespace {

using platform::vision::DetectHumanHandPoseRequest;
using platform::vision::HandPoseFrame;
using platform::vision::LinuxHandPoseDetector;

// The open palm photo, 600 pixels tall in the middle of a 1280 x 720 frame.
std::shared_ptr<platform::image::PixelBuffer> makeHandFrame() {
  const auto photo = platform::image::readImageFile(QUORVEL_SOURCE_DIR
                                                    "/tests/data/hands/pexels-ricardo-utsumi-1314554.jpg");
  if (!photo) {
    std::fprintf(stderr, "The hand photo is missing from tests/data/hands\n");
    std::exit(1);
  }
  const double scale = 600.0 / photo->height();
  const auto placed = platform::image::Image::fromPixelBuffer(photo)
                          .scaledBy(scale, scale)
                          .translatedBy((1280 - photo->width() * scale) / 2, (720 - photo->height() * scale) / 2);
  auto made = platform::image::PixelBuffer::create(1280, 720);
  platform::image::Context({.highQualityDownsample = true})
      .render(placed, *made, platform::Rect(0, 0, 1280, 720), platform::image::ColorSpace::sRGB());
  return made;
}

struct Locked {
  explicit Locked(std::shared_ptr<platform::image::PixelBuffer> buffer)
      : frame(std::move(buffer)), lock(*frame, platform::image::LockFlags::readOnly) {}
  HandPoseFrame view() const { return {frame->baseAddress(), frame->width(), frame->height(), frame->bytesPerRow()}; }
  std::shared_ptr<platform::image::PixelBuffer> frame;
  platform::image::BaseAddressLock lock;
};

// Runs requests on `frame`; `forget` makes the detector lose the hand before each one (a
// request on a frame of another size, not timed).
void run(benchmark::State& state, const HandPoseFrame& frame, bool forget, std::size_t expectedHands) {
  LinuxHandPoseDetector detector;
  static const bool printed = [] {
    std::printf("OpenCV threads: %d\n", LinuxHandPoseDetector::computeThreads());
    return true;
  }();
  (void)printed;
  const std::vector<std::uint8_t> blank(64 * 48 * 4, 0);
  const HandPoseFrame other{blank.data(), 64, 48, 64 * 4};
  DetectHumanHandPoseRequest request;
  request.maximumHandCount = 1;
  for (int i = 0; i < 3; ++i) {  // load and warm up
    if (const auto error = detector.perform(request, frame)) {
      state.SkipWithError(error->localizedDescription.c_str());
      return;
    }
  }
  if (request.results.size() != expectedHands) {
    state.SkipWithError("the frame does not give the expected hands");
    return;
  }
  double palmRuns = 0, landmarkRuns = 0;
  for (auto _ : state) {
    if (forget) {
      state.PauseTiming();
      detector.perform(request, other);
      state.ResumeTiming();
    }
    detector.perform(request, frame);
    benchmark::DoNotOptimize(request.results.data());
    palmRuns += detector.lastWork().palmRuns;
    landmarkRuns += detector.lastWork().landmarkRuns;
  }
  state.counters["palm_runs"] = benchmark::Counter(palmRuns, benchmark::Counter::kAvgIterations);
  state.counters["landmark_runs"] = benchmark::Counter(landmarkRuns, benchmark::Counter::kAvgIterations);
  state.counters["threads"] = LinuxHandPoseDetector::computeThreads();
}

void BM_HandPoseNoHand(benchmark::State& state) {
  const Locked face(bench::makeRealFaceFrame());
  run(state, face.view(), false, 0);
}
BENCHMARK(BM_HandPoseNoHand)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_HandPoseHandFollowed(benchmark::State& state) {
  const Locked hand(makeHandFrame());
  run(state, hand.view(), false, 1);
}
BENCHMARK(BM_HandPoseHandFollowed)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_HandPoseHandFirstSeen(benchmark::State& state) {
  const Locked hand(makeHandFrame());
  run(state, hand.view(), true, 1);
}
BENCHMARK(BM_HandPoseHandFirstSeen)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
