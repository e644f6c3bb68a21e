#include "recognition/native_dlib.hpp"

#include <cstring>
#include <mutex>

#include "foundation/log.hpp"
#include "platform/compute/compute.hpp"
#include "platform/shared.hpp"
#include "recognition/bridge/dlib_bridge.hpp"

namespace quorvel {
namespace {

// The facade's state: `loaded` is the result of the latest load. Held as a shared instance
// so that tests start from a facade that has loaded nothing.
struct State {
  std::mutex lock;
  bool loaded = false;
};

State& state() {
  static platform::SharedInstance<State> instance;
  return instance.get();
}

}  // namespace

bool NativeDlib::load(const std::string& modelPath) {
  platform::compute::limitThreads();
  State& s = state();
  std::lock_guard<std::mutex> guard(s.lock);
  const bool ok = dlib_bridge_load(modelPath.c_str()) == 1;
  s.loaded = ok;
  if (!ok) Log::face().error("NativeDlib: failed to load model at %s", modelPath);
  return ok;
}

bool NativeDlib::isLoaded() {
  State& s = state();
  std::lock_guard<std::mutex> guard(s.lock);
  return s.loaded;
}

std::optional<std::vector<std::uint8_t>> NativeDlib::inputBytes(
    const platform::image::Image& image, const platform::image::Context& context) {
  const platform::Rect extent = image.extent();
  if (extent.isNull() || extent.isInfinite() || !(extent.width() > 0) ||
      !(extent.height() > 0)) {
    return std::nullopt;
  }
  const platform::image::Image scaled =
      image.translatedBy(-extent.minX(), -extent.minY())
          .scaledBy(kSide / extent.width(), kSide / extent.height());

  // Rendered straight into a bitmap of red, green, blue and one skipped byte, without alpha
  // (drawn over black), the full 150 x 150 square.
  const std::optional<platform::image::Bitmap> bitmap = context.renderBitmap(
      scaled, platform::Rect(0, 0, kSide, kSide), platform::image::BitmapFormat::RGBX8);
  if (!bitmap || bitmap->width != kSide || bitmap->height != kSide || bitmap->bytes.empty()) {
    return std::nullopt;
  }
  const std::size_t bytesPerRow = bitmap->bytesPerRow;
  if (bytesPerRow < 4 * static_cast<std::size_t>(kSide) ||
      bitmap->bytes.size() < bytesPerRow * kSide) {
    return std::nullopt;
  }

  std::vector<std::uint8_t> rgb(kInputBytes, 0);
  for (int row = 0; row < kSide; ++row) {
    const std::uint8_t* source = bitmap->bytes.data() + static_cast<std::size_t>(row) * bytesPerRow;
    std::uint8_t* target = rgb.data() + static_cast<std::size_t>(row) * kSide * 3;
    for (int pixel = 0; pixel < kSide; ++pixel) {
      std::memcpy(target + pixel * 3, source + pixel * 4, 3);
    }
  }
  return rgb;
}

std::optional<std::vector<float>> NativeDlib::embedding(const platform::image::Image& image,
                                                        const platform::image::Context& context) {
  if (!isLoaded()) return std::nullopt;
  const std::optional<std::vector<std::uint8_t>> rgb = inputBytes(image, context);
  if (!rgb) return std::nullopt;
  std::vector<float> descriptor(kDescriptorLength, 0.0f);
  if (dlib_bridge_embed(rgb->data(), descriptor.data()) != 1) return std::nullopt;
  return descriptor;
}

}  // namespace quorvel
