// Pixel buffers: the frames the camera delivers and the targets images are rendered into.
//
// A buffer holds `height` rows of `width` pixels, the top row first. In the one pixel format
// that carries pixels here, 32-bit BGRA (`kPixelFormat32BGRA`), a pixel is four bytes in the
// order blue, green, red, alpha (alpha is 255 for opaque camera frames). A row may be longer
// than 4 x width bytes: always step rows by `bytesPerRow()`.
//
// The bytes are reached through the base address, which is only available while the buffer
// is locked (`lockBaseAddress`, read-only or read-write, balanced by `unlockBaseAddress` with
// the same flag); `baseAddress()` is null while the buffer is not locked. Locks nest and may
// be taken from several threads at once; nothing stops two writers, so whoever shares a
// buffer for writing serialises the writes itself.
//
// Buffers of another pixel format (say the camera's bi-planar YUV) can be made to stand for
// frames the platform cannot read: they carry no bytes and never have a base address.
//
// Fault injection for tests: `faults::failNextPixelBufferCreations(n)` makes the next n
// `create` calls fail, and `setBaseAddressUnavailable(true)` makes a buffer refuse its base
// address.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace platform::image {

// The four-character code 'BGRA'.
inline constexpr std::uint32_t kPixelFormat32BGRA = 0x42475241;
// The four-character code '420v' (bi-planar 4:2:0 video range); buffers carry no bytes.
inline constexpr std::uint32_t kPixelFormat420YpCbCr8BiPlanarVideoRange = 0x34323076;

struct PixelBufferAttributes {
  bool cgImageCompatible = false;
  bool cgBitmapContextCompatible = false;
};

enum class LockFlags { readWrite, readOnly };

// How a buffer's stored rows are oriented relative to the upright image (EXIF orientation
// numbering). Camera frames are taken as they come: `up`.
enum class ImageOrientation {
  up = 1,
  upMirrored = 2,
  down = 3,
  downMirrored = 4,
  leftMirrored = 5,
  right = 6,
  rightMirrored = 7,
  left = 8,
};

class PixelBuffer {
 public:
  // A buffer of width x height pixels, every byte zero; null when a side is not positive, the
  // size is absurd, or a creation fault was injected. Rows are padded to 64 bytes.
  static std::shared_ptr<PixelBuffer> create(int width, int height,
                                             std::uint32_t pixelFormat = kPixelFormat32BGRA,
                                             const PixelBufferAttributes& attributes = {});

  int width() const { return width_; }
  int height() const { return height_; }
  std::size_t bytesPerRow() const { return bytesPerRow_; }
  std::uint32_t pixelFormat() const { return pixelFormat_; }
  const PixelBufferAttributes& attributes() const { return attributes_; }

  // Returns false (and takes no lock) when the buffer has no bytes to lend.
  bool lockBaseAddress(LockFlags flags);
  void unlockBaseAddress(LockFlags flags);
  // The first byte of the top row while locked; null otherwise.
  const std::uint8_t* baseAddress() const;
  // Like baseAddress(), for a buffer locked read-write; null when only read locks are held.
  std::uint8_t* mutableBaseAddress();

  // Fault injection: the buffer refuses its base address from now on.
  void setBaseAddressUnavailable(bool unavailable) { unavailable_ = unavailable; }

  PixelBuffer(int width, int height, std::uint32_t pixelFormat, std::size_t bytesPerRow,
              const PixelBufferAttributes& attributes);
  PixelBuffer(const PixelBuffer&) = delete;
  PixelBuffer& operator=(const PixelBuffer&) = delete;

 private:
  int width_;
  int height_;
  std::uint32_t pixelFormat_;
  std::size_t bytesPerRow_;
  PixelBufferAttributes attributes_;
  std::vector<std::uint8_t> bytes_;
  std::atomic<int> readLocks_{0};
  std::atomic<int> writeLocks_{0};
  std::atomic<bool> unavailable_{false};
};

// Holds a lock on a buffer for a scope; `ok()` tells whether the lock was granted.
class BaseAddressLock {
 public:
  BaseAddressLock(PixelBuffer& buffer, LockFlags flags)
      : buffer_(buffer), flags_(flags), locked_(buffer.lockBaseAddress(flags)) {}
  ~BaseAddressLock() {
    if (locked_) buffer_.unlockBaseAddress(flags_);
  }
  BaseAddressLock(const BaseAddressLock&) = delete;
  BaseAddressLock& operator=(const BaseAddressLock&) = delete;
  bool ok() const { return locked_ && buffer_.baseAddress() != nullptr; }

 private:
  PixelBuffer& buffer_;
  LockFlags flags_;
  bool locked_;
};

namespace faults {
// The next `count` calls of PixelBuffer::create fail (0 clears it).
void failNextPixelBufferCreations(int count);
}  // namespace faults

}  // namespace platform::image
