// Off-screen rendering of a view into an image, as the platform's image renderer does: the
// view is laid out in a frame of `size` points and drawn over a clear background at `scale`
// pixels per point.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/geometry/geometry.hpp"
#include "platform/windows/windows.hpp"

namespace platform::ui {

class ImageRenderer {
 public:
  // The largest side, in pixels, of an image the renderer makes.
  static constexpr int kMaximumPixelSide = 32767;

  ImageRenderer(std::shared_ptr<windows::View> content, Size size)
      : content_(std::move(content)), size_(size) {}

  double scale = 1;

  // The pixel size of the image: the frame times the scale, rounded. No value when the
  // frame or the scale is not finite and positive, or a side would be 0 or exceed
  // kMaximumPixelSide.
  std::optional<Size> pixelSize() const;

  // The rendered image encoded as PNG (straight alpha, no extra properties), or no value
  // when nothing could be rendered (see pixelSize) or the encoding failed.
  std::optional<std::vector<std::uint8_t>> pngData() const;

 private:
  std::shared_ptr<windows::View> content_;
  Size size_;
};

}  // namespace platform::ui
