// Cost, in the program, of one frame of the notch panel sent to GNOME Shell's overlay
// extension: its visible part cut out and encoded as PNG (lock_screen_road_gnome.hpp), from a
// scanning frame drawn as the lock-screen overlay draws it (320 x 200 points at scale 1). The
// "bytes" counter is what one frame puts on the session bus. BM_EncodeVisiblePart compares
// PNG compression levels (Qt's quality; -1 is zlib's default).
// Run on one core: taskset -c 0 ./bench_gnome_overlay_frame
#include <benchmark/benchmark.h>

#include <QBuffer>
#include <QImage>

#include "overlay/unlock_animation_view.hpp"
#include "platform/windows/windows.hpp"
#include "platform/windowserver/lock_screen_road_gnome.hpp"

namespace {

using quorvel::NotchGeometry;
using quorvel::UnlockAnimationModel;
using quorvel::UnlockAnimationView;

QImage scanningFrame() {
  platform::windows::ensureGuiApplication();
  auto model = UnlockAnimationModel::make(false);
  model->panelProgress = 1;
  model->contentVisible = true;
  model->faceOpacity = 1;
  model->faceScale = 1;
  model->illumination = 0.4;
  model->sweep = 0.5;
  model->bloom = 0.3;
  return UnlockAnimationView(model, NotchGeometry(180, 8, false)).render({320, 200}, 1);
}

void BM_FrameForTheExtension(benchmark::State& state) {
  const QImage frame = scanningFrame();
  std::size_t bytes = 0;
  for (auto _ : state) {
    const auto sent = platform::windowserver::gnomeOverlayFrame(frame);
    bytes = sent.png.size();
    benchmark::DoNotOptimize(sent.png.data());
  }
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_FrameForTheExtension)->Unit(benchmark::kMicrosecond);

void BM_EncodeVisiblePart(benchmark::State& state) {
  const auto sent = platform::windowserver::gnomeOverlayFrame(scanningFrame());
  const QImage part = scanningFrame()
                          .convertToFormat(QImage::Format_RGBA8888_Premultiplied)
                          .copy(sent.left, sent.top, sent.columns, sent.rows);
  qint64 bytes = 0;
  for (auto _ : state) {
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    part.save(&buffer, "PNG", static_cast<int>(state.range(0)));
    bytes = png.size();
  }
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_EncodeVisiblePart)->Arg(-1)->Arg(0)->Arg(50)->Arg(80)->Arg(90)->Arg(100)->Unit(benchmark::kMicrosecond);

}  // namespace
