#include "platform/image/pixel_buffer.hpp"

#include <limits>
#include <new>

namespace platform::image {
namespace {

std::atomic<int> failingCreations{0};

constexpr std::size_t kRowAlignment = 64;
constexpr std::int64_t kMaximumSide = 1 << 15;

}  // namespace

namespace faults {
void failNextPixelBufferCreations(int count) { failingCreations = count > 0 ? count : 0; }
}  // namespace faults

std::shared_ptr<PixelBuffer> PixelBuffer::create(int width, int height, std::uint32_t pixelFormat,
                                                 const PixelBufferAttributes& attributes) {
  for (int pending = failingCreations.load(); pending > 0;) {
    if (failingCreations.compare_exchange_weak(pending, pending - 1)) return nullptr;
  }
  if (width <= 0 || height <= 0 || width > kMaximumSide || height > kMaximumSide) return nullptr;
  std::size_t bytesPerRow = 0;
  if (pixelFormat == kPixelFormat32BGRA) {
    bytesPerRow = (static_cast<std::size_t>(width) * 4 + kRowAlignment - 1) / kRowAlignment *
                  kRowAlignment;
  }
  try {
    return std::make_shared<PixelBuffer>(width, height, pixelFormat, bytesPerRow, attributes);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

PixelBuffer::PixelBuffer(int width, int height, std::uint32_t pixelFormat, std::size_t bytesPerRow,
                         const PixelBufferAttributes& attributes)
    : width_(width),
      height_(height),
      pixelFormat_(pixelFormat),
      bytesPerRow_(bytesPerRow),
      attributes_(attributes),
      bytes_(bytesPerRow * static_cast<std::size_t>(height), 0) {}

bool PixelBuffer::lockBaseAddress(LockFlags flags) {
  if (bytes_.empty() || unavailable_) return false;
  (flags == LockFlags::readOnly ? readLocks_ : writeLocks_)++;
  return true;
}

void PixelBuffer::unlockBaseAddress(LockFlags flags) {
  auto& count = flags == LockFlags::readOnly ? readLocks_ : writeLocks_;
  for (int held = count.load(); held > 0;) {
    if (count.compare_exchange_weak(held, held - 1)) return;
  }
}

const std::uint8_t* PixelBuffer::baseAddress() const {
  if (bytes_.empty() || unavailable_ || (readLocks_ == 0 && writeLocks_ == 0)) return nullptr;
  return bytes_.data();
}

std::uint8_t* PixelBuffer::mutableBaseAddress() {
  if (bytes_.empty() || unavailable_ || writeLocks_ == 0) return nullptr;
  return bytes_.data();
}

}  // namespace platform::image
