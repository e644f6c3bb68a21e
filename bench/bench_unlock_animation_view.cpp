// Cost of drawing one frame of the notch panel off screen (320 x 200 points at scale 2), as
// the overlay's view and the animation-render switch draw it.
// Run on one core: taskset -c 0 ./bench_unlock_animation_view
#include <benchmark/benchmark.h>

#include <QImage>

#include "overlay/unlock_animation_view.hpp"
#include "platform/windows/windows.hpp"

namespace {

using quorvel::NotchGeometry;
using quorvel::UnlockAnimationModel;
using quorvel::UnlockAnimationView;

std::shared_ptr<UnlockAnimationModel> scanningModel(bool reduceMotion) {
  auto model = UnlockAnimationModel::make(reduceMotion);
  model->panelProgress = 1;
  model->contentVisible = true;
  model->faceOpacity = 1;
  model->faceScale = 1;
  model->illumination = 0.4;
  model->sweep = 0.5;
  return model;
}

// The scanning look, with the masked sweep layer.
void BM_RenderScanningFrame(benchmark::State& state) {
  platform::windows::ensureGuiApplication();
  UnlockAnimationView view(scanningModel(false), NotchGeometry(188, 32, true));
  for (auto _ : state) {
    QImage image = view.render({320, 200}, 2);
    benchmark::DoNotOptimize(image.constBits());
  }
}
BENCHMARK(BM_RenderScanningFrame)->Unit(benchmark::kMillisecond);

// Reduced motion: no sweep layer.
void BM_RenderReducedMotionFrame(benchmark::State& state) {
  platform::windows::ensureGuiApplication();
  UnlockAnimationView view(scanningModel(true), NotchGeometry(188, 32, true));
  for (auto _ : state) {
    QImage image = view.render({320, 200}, 2);
    benchmark::DoNotOptimize(image.constBits());
  }
}
BENCHMARK(BM_RenderReducedMotionFrame)->Unit(benchmark::kMillisecond);

// The failure look with its message line.
void BM_RenderFailureFrame(benchmark::State& state) {
  platform::windows::ensureGuiApplication();
  auto model = scanningModel(false);
  model->sweepOpacity = 0;
  model->drained = true;
  model->message = std::string("Face not recognised");
  UnlockAnimationView view(model, NotchGeometry(188, 32, true));
  for (auto _ : state) {
    QImage image = view.render({320, 200}, 2);
    benchmark::DoNotOptimize(image.constBits());
  }
}
BENCHMARK(BM_RenderFailureFrame)->Unit(benchmark::kMillisecond);

}  // namespace
