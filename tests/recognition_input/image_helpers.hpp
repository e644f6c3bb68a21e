// Small helpers for building and reading pixel buffers in the tests of this folder.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/image/pixel_buffer.hpp"

namespace quorvel::testing {

using BGRA = std::array<std::uint8_t, 4>;

// A BGRA buffer whose pixel at (column x, row y from the top) is `pixel(x, y)`.
inline std::shared_ptr<platform::image::PixelBuffer> makeBuffer(
    int width, int height, const std::function<BGRA(int x, int y)>& pixel) {
  auto buffer = platform::image::PixelBuffer::create(width, height);
  platform::image::BaseAddressLock lock(*buffer, platform::image::LockFlags::readWrite);
  for (int y = 0; y < height; ++y) {
    std::uint8_t* row = buffer->mutableBaseAddress() + y * buffer->bytesPerRow();
    for (int x = 0; x < width; ++x) {
      const BGRA p = pixel(x, y);
      std::copy(p.begin(), p.end(), row + 4 * x);
    }
  }
  return buffer;
}

inline BGRA pixelAt(platform::image::PixelBuffer& buffer, int x, int y) {
  platform::image::BaseAddressLock lock(buffer, platform::image::LockFlags::readOnly);
  const std::uint8_t* p = buffer.baseAddress() + y * buffer.bytesPerRow() + 4 * x;
  return {p[0], p[1], p[2], p[3]};
}

}  // namespace quorvel::testing
