#include "platform/ui/image_renderer.hpp"

#include <QBuffer>
#include <QByteArray>
#include <QImage>

#include <cmath>

namespace platform::ui {

std::optional<Size> ImageRenderer::pixelSize() const {
  const double values[] = {size_.width, size_.height, scale};
  for (double v : values) {
    if (!std::isfinite(v) || v <= 0) return std::nullopt;
  }
  const double width = std::round(size_.width * scale);
  const double height = std::round(size_.height * scale);
  if (width < 1 || height < 1 || width > kMaximumPixelSide || height > kMaximumPixelSide) {
    return std::nullopt;
  }
  return Size{width, height};
}

std::optional<std::vector<std::uint8_t>> ImageRenderer::pngData() const {
  const std::optional<Size> pixels = pixelSize();
  if (!pixels || !content_) return std::nullopt;
  windows::ensureGuiApplication();
  windows::HostingView host(content_);
  host.setFrame(Rect(0, 0, size_.width, size_.height));
  const QImage image = host.render(scale);
  if (image.isNull() || image.width() != static_cast<int>(pixels->width) ||
      image.height() != static_cast<int>(pixels->height)) {
    return std::nullopt;
  }
  QByteArray encoded;
  QBuffer device(&encoded);
  if (!device.open(QIODevice::WriteOnly)) return std::nullopt;
  if (!image.save(&device, "PNG")) return std::nullopt;
  return std::vector<std::uint8_t>(encoded.begin(), encoded.end());
}

}  // namespace platform::ui
