// The coordinator's frame road on one real 1280 x 720 frame: the frame handed to the camera
// callback of a running match test, which finds the largest face, aligns it, describes it
// with the dlib network, scores it against 37 stored faceprints, runs the liveness model (a
// test computes it on every scored frame, the most an unlock attempt ever does) and feeds the
// match engine. The stored faceprints are far from the face, so the test keeps looking.
//
// Runs in a private home (temporary XDG folders, an in-memory keychain and user defaults, a
// camera that never delivers) so nothing of the user's is read or written. Uses the bundle
// beside the executable (scripts/make-dlib-weights, then scripts/build). Run on one core:
//   OPENBLAS_NUM_THREADS=1 taskset -c 0 ./bench_coordinator --benchmark_repetitions=10
//       --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "foundation/faceprint_store.hpp"
#include "platform/capture/simulated_capture.hpp"
#include "platform/defaults/simulated_defaults.hpp"
#include "platform/image/context.hpp"
#include "platform/image/image.hpp"
#include "platform/image/image_io.hpp"
#include "platform/keychain/simulated_keychain.hpp"
#include "real_face_frame.hpp"
#include "recognition/face_aligner.hpp"
#include "recognition/face_detector.hpp"
#include "recognition/face_models.hpp"
#include "unlock/unlock_coordinator.hpp"

namespace {

using namespace quorvel;
using platform::image::PixelBuffer;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::exit(1);
}

void usePrivateHome() {
  char pattern[] = "/tmp/quorvel-bench-XXXXXX";
  const char* home = ::mkdtemp(pattern);
  if (!home) fail("Cannot make a temporary folder");
  ::setenv("XDG_CONFIG_HOME", (std::string(home) + "/config").c_str(), 1);
  ::setenv("XDG_DATA_HOME", (std::string(home) + "/data").c_str(), 1);
  platform::keychain::install(std::make_shared<platform::keychain::SimulatedKeychain>());
  platform::defaults::installStandard(std::make_shared<platform::defaults::MemoryUserDefaults>());
  platform::capture::install(std::make_shared<platform::capture::SimulatedCaptureSystem>());
}

std::shared_ptr<PixelBuffer> realFaceFrame() { return bench::makeRealFaceFrame(); }

// Prepares the private home, the stored faceprints and a running match test once; returns
// the frame.
std::shared_ptr<PixelBuffer> prepare() {
  usePrivateHome();
  const auto frame = realFaceFrame();
  const auto face = FaceDetector::shared().largestFace(frame);
  if (!face) fail("No face found in the benchmark frame");
  const auto aligned = FaceAligner::shared().alignedFace(frame, *face, FaceEngineSpec::dlib);
  if (!aligned) fail("The face cannot be aligned");
  const auto probe = FaceModels::shared().embedding(*aligned, FaceEngineSpec::dlib,
                                                    *FaceAligner::shared().ciContext());
  if (!probe) fail("No dlib descriptor: run scripts/make-dlib-weights, then scripts/build");
  // 37 stored faceprints about 1.0 away: never a match.
  std::vector<FaceDescriptor> stored;
  for (int k = 0; k < 37; ++k) {
    FaceDescriptor d = *probe;
    for (std::size_t i = 0; i < d.size(); ++i) d[i] += 0.09f * std::sin(float(k * 131 + i * 17));
    stored.push_back(std::move(d));
  }
  if (!FaceprintStore::shared().replaceEnrolled(stored, RecognitionEngine::dlib)) fail("Cannot store faceprints");

  UnlockCoordinator& coordinator = UnlockCoordinator::shared();
  // The test's deadline and camera completions wait on the main queue, which never runs here,
  // so the test stays active for the whole benchmark.
  coordinator.runTest([](UnlockCoordinator::TestResult) {});
  const auto handler = coordinator.camera()->onFrame;
  handler(frame);
  if (coordinator.testResult().framesWithFace != 1 || !coordinator.isActive()) fail("The frame was not handled");
  if (coordinator.testResult().bestLiveness <= 0) fail("No liveness: is MiniFAS in the bundle?");
  return frame;
}

void BM_CoordinatorFrameRoad(benchmark::State& state) {
  static const std::shared_ptr<PixelBuffer> frame = prepare();
  UnlockCoordinator& coordinator = UnlockCoordinator::shared();
  const auto handler = coordinator.camera()->onFrame;
  for (auto _ : state) handler(frame);
  const auto result = coordinator.testResult();
  if (result.framesWithFace != result.framesSeen || result.wouldUnlock) fail("A frame took another road");
  state.counters["bestScore"] = result.bestSimilarity;
}
BENCHMARK(BM_CoordinatorFrameRoad)->Unit(benchmark::kMillisecond);

}  // namespace
