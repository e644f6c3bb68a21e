// Rendering image recipes (image.hpp) into pixels.
//
// A `Context` renders the part of an image inside a rectangle of the image plane (`bounds`,
// bottom-left origin) into a pixel buffer or a bitmap whose top row is the top of `bounds`:
// output pixel (column i, row j, rows from the top) is the image sampled at the point
// (bounds.x + i + 0.5, bounds.y + bounds.height - j - 0.5). Pixels outside the image's extent
// are transparent black (0, 0, 0, 0). Samples between source pixels are bilinear, with the
// buffer's edge pixels repeated outwards; every extent and crop edge is sharp: an output pixel
// belongs to the image exactly when its centre lies inside the extent.
//
// With `highQualityDownsample` on, an image that is shrunk on its way to the output (say a
// face of 400 pixels rendered into 150) is first reduced by area averaging, so every output
// pixel averages the source pixels it covers and fine patterns do not alias; with it off,
// shrinking samples bilinearly, which aliases.
//
// Colour: every buffer, bitmap and colour is sRGB, so resampling converts nothing; colour
// controls alone work in linear light (image.hpp). The colour space argument names what the
// caller expects and must be sRGB.
//
// Composites (`Image::composited`) render both layers through the transforms above them and
// blend them source over.
//
// A context holds no per-render state: one context may render from several threads at once.
//
// Typical uses:
//   // A 150 x 150 RGB bitmap of an aligned face (a recipe whose extent is (0, 0, 150, 150)):
//   auto rgb = context.renderBitmap(aligned, Rect(0, 0, 150, 150), BitmapFormat::RGB8);
//   // A pixel buffer stretched into a reused 112 x 112 buffer:
//   Image image = Image::fromPixelBuffer(frame);
//   Rect e = image.extent();
//   context.render(image.translatedBy(-e.minX(), -e.minY())
//                      .scaledBy(112 / e.width(), 112 / e.height()),
//                  *target, Rect(0, 0, 112, 112), ColorSpace::sRGB());
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/geometry/geometry.hpp"
#include "platform/image/image.hpp"
#include "platform/image/pixel_buffer.hpp"

namespace platform::image {

class ColorSpace {
 public:
  static ColorSpace sRGB() { return ColorSpace("kCGColorSpaceSRGB"); }
  // The colour space of that name; only sRGB is known.
  static std::optional<ColorSpace> named(const std::string& name);
  const std::string& name() const { return name_; }
  bool operator==(const ColorSpace&) const = default;

 private:
  explicit ColorSpace(std::string name) : name_(std::move(name)) {}
  std::string name_;
};

// Byte orders of a bitmap's pixels.
enum class BitmapFormat {
  RGB8,   // red, green, blue: 3 bytes a pixel
  RGBA8,  // red, green, blue, alpha (premultiplied)
  BGRA8,  // blue, green, red, alpha (premultiplied), as pixel buffers
  RGBX8,  // red, green, blue and one ignored byte (255): no alpha, drawn over black
};

// Pixels in memory, the top row first, rows `bytesPerRow` apart (no padding here).
struct Bitmap {
  int width = 0;
  int height = 0;
  BitmapFormat format = BitmapFormat::RGB8;
  std::size_t bytesPerRow = 0;
  std::vector<std::uint8_t> bytes;

  static int bytesPerPixel(BitmapFormat format) { return format == BitmapFormat::RGB8 ? 3 : 4; }
  // The bytes of the pixel at (column x, row y from the top).
  const std::uint8_t* pixel(int x, int y) const {
    return bytes.data() + static_cast<std::size_t>(y) * bytesPerRow +
           static_cast<std::size_t>(x) * bytesPerPixel(format);
  }
};

struct ContextOptions {
  bool useSoftwareRenderer = false;  // accepted for the platform's sake; rendering is on the CPU
  bool highQualityDownsample = false;
};

class Context {
 public:
  explicit Context(ContextOptions options = {}) : options_(options) {}
  const ContextOptions& options() const { return options_; }

  // Renders `image` inside `bounds` into `buffer` (32-bit BGRA), whose every pixel is
  // written. `bounds` must be finite with a positive whole-number size no larger than the
  // buffer; the rectangle lands in the buffer's bottom-left corner (for equal sizes, the
  // whole buffer). False, with the buffer untouched, when any of that does not hold, the
  // buffer cannot be locked, the colour space is not sRGB, or a pixel buffer would have to be
  // sampled over 32767 pixels or more a side (an output that wide, or a source region that
  // wide read without shrinking).
  bool render(const Image& image, PixelBuffer& buffer, const Rect& bounds,
              const ColorSpace& colorSpace) const;

  // Renders `image` inside `bounds` into a new bitmap of bounds' size; no value when the
  // bounds are not a finite rectangle with a positive whole-number size, or for the sizes
  // `render` refuses.
  std::optional<Bitmap> renderBitmap(const Image& image, const Rect& bounds, BitmapFormat format,
                                     const ColorSpace& colorSpace = ColorSpace::sRGB()) const;

 private:
  ContextOptions options_;
};

}  // namespace platform::image
