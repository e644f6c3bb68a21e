#include "recognition/face_tensors.hpp"

#include <new>

#include "platform/shared.hpp"
#include "recognition/face_aligner.hpp"

namespace quorvel {

using platform::image::PixelBuffer;

FaceTensors::FaceTensors()
    : context_(FaceAligner::shared().ciContext()),
      colorSpace_(platform::image::ColorSpace::sRGB()) {}

FaceTensors& FaceTensors::shared() {
  static platform::SharedInstance<FaceTensors> instance;
  return instance.get();
}

std::optional<platform::ml::MultiArray> FaceTensors::tensor(
    const platform::image::Image& image, int side, const Normalisation& normalisation) {
  std::lock_guard<std::mutex> guard(lock_);

  std::shared_ptr<PixelBuffer> buffer;
  if (const auto found = buffers_.find(side); found != buffers_.end()) {
    buffer = found->second;
  } else {
    buffer = PixelBuffer::create(side, side, platform::image::kPixelFormat32BGRA,
                                 {.cgImageCompatible = true, .cgBitmapContextCompatible = true});
    if (!buffer) return std::nullopt;
    buffers_[side] = buffer;
  }

  const std::size_t plane = static_cast<std::size_t>(side) * static_cast<std::size_t>(side);
  std::optional<platform::ml::MultiArray> array;
  try {
    array = platform::ml::MultiArray::make({1, 3, side, side});
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
  if (!array) return std::nullopt;

  const platform::Rect extent = image.extent();
  if (extent.isNull() || extent.isInfinite() || !(extent.width() > 0) || !(extent.height() > 0)) {
    return std::nullopt;
  }
  const auto scaled = image.translatedBy(-extent.minX(), -extent.minY())
                          .scaledBy(side / extent.width(), side / extent.height());
  if (!context_->render(scaled, *buffer, platform::Rect(0, 0, side, side), colorSpace_)) {
    return std::nullopt;
  }

  platform::image::BaseAddressLock locked(*buffer, platform::image::LockFlags::readOnly);
  if (!locked.ok()) return std::nullopt;
  const std::uint8_t* base = buffer->baseAddress();
  const std::size_t bytesPerRow = buffer->bytesPerRow();
  float* red = array->data();
  float* green = red + plane;
  float* blue = green + plane;
  const bool unit = normalisation.kind == Normalisation::Kind::unit;
  const float scale = normalisation.scale;
  const RGBMean mean = normalisation.mean;
  for (int y = 0; y < side; ++y) {
    const std::uint8_t* row = base + static_cast<std::size_t>(y) * bytesPerRow;
    const std::size_t offset = static_cast<std::size_t>(y) * side;
    for (int x = 0; x < side; ++x) {
      const std::uint8_t* pixel = row + 4 * x;
      const float b = pixel[0], g = pixel[1], r = pixel[2];
      const std::size_t i = offset + x;
      if (unit) {
        red[i] = r / 255.0f;
        green[i] = g / 255.0f;
        blue[i] = b / 255.0f;
      } else {
        red[i] = (r - mean.r) / scale;
        green[i] = (g - mean.g) / scale;
        blue[i] = (b - mean.b) / scale;
      }
    }
  }
  return array;
}

std::shared_ptr<PixelBuffer> FaceTensors::cachedBuffer(int side) const {
  std::lock_guard<std::mutex> guard(lock_);
  const auto found = buffers_.find(side);
  return found == buffers_.end() ? nullptr : found->second;
}

std::size_t FaceTensors::cachedBufferCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  return buffers_.size();
}

}  // namespace quorvel
