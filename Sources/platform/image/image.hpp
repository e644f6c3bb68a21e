// Lazy image recipes in Core Image's coordinates.
//
// An `Image` describes how to compute pixels; nothing is computed until a `Context` renders
// it (see context.hpp). Images are immutable values, cheap to copy: every operation returns a
// new recipe that refers to its input.
//
// Coordinates: the image plane has its origin at the bottom left and y growing upwards.
// An image of a pixel buffer covers the rectangle (0, 0, width, height); the buffer's top row
// is the band height-1 <= y < height, its bottom row 0 <= y < 1, and the centre of the
// pixel in column u and row v (rows counted from the top, as stored) is the point
// (u + 0.5, height - v - 0.5). Landmarks, crops and transforms of the recognition road all
// use this plane; context.cpp is the one place where it meets stored rows.
//
// The extent is the rectangle outside which an image is transparent black. A uniform colour
// has an infinite extent (`Rect::isInfinite()`), and stays infinite through transforms
// until it is cropped.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "platform/geometry/geometry.hpp"
#include "platform/image/pixel_buffer.hpp"

namespace platform::image {

// A colour with components 0 to 1, not premultiplied (sRGB, as everything here).
struct Color {
  double red = 0, green = 0, blue = 0, alpha = 1;
  bool operator==(const Color&) const = default;
};

// The colour-controls adjustment. For each pixel, on components 0 to 1 in linear light (the
// working space of the platform's image pipeline: the sRGB transfer function undone first):
//   saturation: c = L + saturation * (c - L), L = 0.2126 r + 0.7152 g + 0.0722 b;
//   contrast:   c = (c - 0.5) * contrast + 0.5;
//   brightness: c = c + brightness;
// and the result is clamped to 0...1 and encoded as sRGB again when stored. Alpha is
// unchanged.
struct ColorControls {
  double brightness = 0;
  double contrast = 1;
  double saturation = 1;
};

class Image {
 public:
  // The empty image (null extent); rendering it gives transparent black.
  Image();
  // The pixels of `buffer` at the time of rendering (the buffer is read then, not copied
  // now). A null buffer, or one without pixel bytes, gives an image that renders nothing.
  static Image fromPixelBuffer(std::shared_ptr<PixelBuffer> buffer);
  // A uniform colour of infinite extent.
  static Image color(const Color& color);

  Rect extent() const;
  bool isEmpty() const { return extent().isEmpty(); }

  // The image moved through `t`: the pixel at p is found at t(p). The extent becomes the
  // bounding box of the transformed extent.
  Image transformed(const AffineTransform& t) const;
  Image translatedBy(double dx, double dy) const {
    return transformed(AffineTransform::translation(dx, dy));
  }
  Image scaledBy(double sx, double sy) const { return transformed(AffineTransform::scale(sx, sy)); }
  // Only the part inside `rect`; the extent is the intersection of both.
  Image cropped(const Rect& rect) const;
  Image applyingColorControls(const ColorControls& controls) const;
  // This image drawn over `background` (source over, premultiplied); the extent is the union
  // of both extents.
  Image composited(const Image& background) const;

  struct Node;
  explicit Image(std::shared_ptr<const Node> node) : node_(std::move(node)) {}
  const std::shared_ptr<const Node>& node() const { return node_; }

 private:
  std::shared_ptr<const Node> node_;
};

// One step of a recipe (the chain from an output back to its source).
struct Image::Node {
  enum class Kind { empty, pixelBuffer, color, transform, crop, colorControls, composite };
  Kind kind = Kind::empty;
  std::shared_ptr<const Node> input;       // for composite: the foreground
  std::shared_ptr<const Node> background;  // composite
  std::shared_ptr<PixelBuffer> buffer;  // pixelBuffer
  Color color;                          // color
  AffineTransform transform;            // transform
  Rect rect;                            // crop
  ColorControls controls;               // colorControls
  Rect extent = Rect::null();
};

// The colour-controls filter in the platform's filter style: set the input image and the
// parameters, read the output image. The output has no value while no input image is set.
class ColorControlsFilter {
 public:
  void setInputImage(std::optional<Image> image) { input_ = std::move(image); }
  void setBrightness(float value) { controls_.brightness = value; }
  void setContrast(float value) { controls_.contrast = value; }
  void setSaturation(float value) { controls_.saturation = value; }
  std::optional<Image> outputImage() const;

 private:
  std::optional<Image> input_;
  ColorControls controls_;
};

}  // namespace platform::image
