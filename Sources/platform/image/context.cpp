#include "platform/image/context.hpp"

#include <algorithm>
#include <cmath>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

namespace platform::image {
namespace {

using Node = Image::Node;

struct Crop {
  Rect rect;
  AffineTransform toTop;  // the crop's plane -> the rendered image's plane
};

// A recipe flattened: one source, the transform from its plane to the rendered image's plane,
// the crops met on the way and the colour adjustments in the order they apply.
struct Plan {
  const Node* source = nullptr;
  AffineTransform sourceToTop;
  std::vector<Crop> crops;
  std::vector<ColorControls> adjustments;
};

Plan flatten(const Image& image) {
  Plan plan;
  AffineTransform toTop;  // from the plane of the node being visited to the top plane
  for (const Node* node = image.node().get(); node; node = node->input.get()) {
    switch (node->kind) {
      case Node::Kind::transform:
        toTop = node->transform.concatenating(toTop);
        break;
      case Node::Kind::crop:
        plan.crops.push_back({node->rect, toTop});
        break;
      case Node::Kind::colorControls:
        plan.adjustments.push_back(node->controls);
        break;
      case Node::Kind::empty:
      case Node::Kind::pixelBuffer:
      case Node::Kind::color:
      case Node::Kind::composite:
        plan.source = node;
        break;
    }
    if (plan.source) break;
  }
  std::reverse(plan.adjustments.begin(), plan.adjustments.end());
  plan.sourceToTop = toTop;
  return plan;
}

// The one meeting point of the bottom-left image plane and top-row-first storage.
// Output pixel (i, j) of a rendering of `bounds` has its centre at this point of the plane.
AffineTransform outputIndexToPlane(const Rect& bounds) {
  return {1, 0, 0, -1, bounds.minX() + 0.5, bounds.minY() + bounds.height() - 0.5};
}
// A point of a source buffer's plane to its continuous pixel index (column, row from the
// top; integers at pixel centres).
AffineTransform planeToSourceIndex(int sourceHeight) {
  return {1, 0, 0, -1, -0.5, sourceHeight - 0.5};
}

bool validBounds(const Rect& bounds) {
  if (bounds.isNull() || bounds.isInfinite()) return false;
  const double w = bounds.width(), h = bounds.height();
  if (!std::isfinite(bounds.minX()) || !std::isfinite(bounds.minY())) return false;
  return w >= 1 && h >= 1 && w == std::floor(w) && h == std::floor(h) && w <= (1 << 15) &&
         h <= (1 << 15);
}

cv::Scalar premultipliedBGRA(const Color& c) {
  auto channel = [](double v) { return std::clamp(v, 0.0, 1.0); };
  const double a = channel(c.alpha);
  return cv::Scalar(std::lround(channel(c.blue) * a * 255), std::lround(channel(c.green) * a * 255),
                    std::lround(channel(c.red) * a * 255), std::lround(a * 255));
}

// Samples the source buffer into `out` through the output-index -> source-index map `g`.
bool sampleBuffer(PixelBuffer& buffer, const AffineTransform& g, bool highQuality, cv::Mat& out) {
  BaseAddressLock lock(buffer, LockFlags::readOnly);
  if (!lock.ok()) return false;
  const cv::Mat source(buffer.height(), buffer.width(), CV_8UC4,
                       const_cast<std::uint8_t*>(buffer.baseAddress()), buffer.bytesPerRow());

  // Source pixels per output pixel along each source axis.
  const double stepU = std::hypot(g.a, g.c);
  const double stepV = std::hypot(g.b, g.d);
  const double reduceU = highQuality && stepU > 1.01 ? 1.0 / stepU : 1.0;
  const double reduceV = highQuality && stepV > 1.01 ? 1.0 / stepV : 1.0;

  // The part of the source that the output reads, with a margin for the filters.
  const double w = out.cols, h = out.rows;
  const Point corners[4] = {g.apply(Point{-0.5, -0.5}), g.apply(Point{w - 0.5, -0.5}),
                            g.apply(Point{-0.5, h - 0.5}), g.apply(Point{w - 0.5, h - 0.5})};
  double u0 = corners[0].x, u1 = u0, v0 = corners[0].y, v1 = v0;
  for (const auto& p : corners) {
    u0 = std::min(u0, p.x);
    u1 = std::max(u1, p.x);
    v0 = std::min(v0, p.y);
    v1 = std::max(v1, p.y);
  }
  const double marginU = 2.0 / reduceU + 2, marginV = 2.0 / reduceV + 2;
  const int x0 = static_cast<int>(std::clamp(std::floor(u0 - marginU), 0.0, double(source.cols)));
  int x1 = static_cast<int>(std::clamp(std::ceil(u1 + marginU), 0.0, double(source.cols)));
  const int y0 = static_cast<int>(std::clamp(std::floor(v0 - marginV), 0.0, double(source.rows)));
  int y1 = static_cast<int>(std::clamp(std::ceil(v1 + marginV), 0.0, double(source.rows)));
  if (x1 <= x0 || y1 <= y0) {
    out.setTo(cv::Scalar::all(0));
    return true;
  }
  double rx = 1, ry = 1;  // region pixels -> reduced pixels, per axis
  cv::Mat region;
  if (reduceU < 1 || reduceV < 1) {
    // First by whole factors (area averaging of k x k blocks, the fast road), then by what is
    // left; each pass keeps "centre maps to centre", so the two compose.
    const int kx = std::max(1, static_cast<int>(std::floor(1.0 / reduceU)));
    const int ky = std::max(1, static_cast<int>(std::floor(1.0 / reduceV)));
    if ((x1 - x0) >= kx && (y1 - y0) >= ky && (kx > 1 || ky > 1)) {
      // Whole blocks only; the margin covers the few columns or rows given up.
      x1 = x0 + (x1 - x0) / kx * kx;
      y1 = y0 + (y1 - y0) / ky * ky;
      cv::resize(source(cv::Rect(x0, y0, x1 - x0, y1 - y0)), region,
                 cv::Size((x1 - x0) / kx, (y1 - y0) / ky), 0, 0, cv::INTER_AREA);
      rx = 1.0 / kx;
      ry = 1.0 / ky;
    } else {
      region = source(cv::Rect(x0, y0, x1 - x0, y1 - y0));
    }
    const double leftU = stepU * rx, leftV = stepV * ry;
    if (leftU > 1.01 || leftV > 1.01) {
      const int dw = std::max(1, static_cast<int>(std::lround(region.cols / std::max(1.0, leftU))));
      const int dh = std::max(1, static_cast<int>(std::lround(region.rows / std::max(1.0, leftV))));
      cv::Mat reduced;
      cv::resize(region, reduced, cv::Size(dw, dh), 0, 0, cv::INTER_AREA);
      rx *= double(dw) / region.cols;
      ry *= double(dh) / region.rows;
      region = reduced;
    }
  } else {
    region = source(cv::Rect(x0, y0, x1 - x0, y1 - y0));
  }
  // Output index -> index in the (reduced) region.
  const cv::Matx23d map(rx * g.a, rx * g.c, rx * (g.tx - x0 + 0.5) - 0.5,  //
                        ry * g.b, ry * g.d, ry * (g.ty - y0 + 0.5) - 0.5);
  // Edge pixels repeat outwards; the buffer's extent then cuts the image off sharply (as a
  // crop), so an enlarged image does not fade into transparency along its border.
  cv::warpAffine(region, out, map, out.size(), cv::INTER_LINEAR | cv::WARP_INVERSE_MAP,
                 cv::BORDER_REPLICATE);
  return true;
}

double sRGBToLinear(double v) {
  return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
}
double linearToSRGB(double v) {
  return v <= 0.0031308 ? v * 12.92 : 1.055 * std::pow(v, 1 / 2.4) - 0.055;
}

// The sRGB transfer function both ways, by table: the 256 stored levels to linear light, and
// linear light (0 to 1, in 65536 steps) back to the nearest stored level.
struct TransferTables {
  float toLinear[256];
  std::uint8_t toLevel[65536];
  TransferTables() {
    for (int i = 0; i < 256; ++i) toLinear[i] = static_cast<float>(sRGBToLinear(i / 255.0));
    for (int i = 0; i < 65536; ++i) {
      toLevel[i] = static_cast<std::uint8_t>(std::lround(linearToSRGB(i / 65535.0) * 255));
    }
  }
};
const TransferTables& transferTables() {
  static const TransferTables tables;
  return tables;
}

// Colour controls work, as the rest of a platform image pipeline does, in linear light: stored
// sRGB levels are linearised, adjusted, clamped and encoded again.
void applyAdjustments(const std::vector<ColorControls>& adjustments, cv::Mat& out) {
  if (adjustments.empty()) return;
  const TransferTables& tables = transferTables();
  // Without a saturation change every channel of an opaque pixel is adjusted on its own: one
  // table of the 256 levels, computed exactly as the pixels below would be.
  const bool channelwise = std::all_of(adjustments.begin(), adjustments.end(),
                                       [](const ColorControls& c) { return c.saturation == 1; });
  std::uint8_t opaque[256];
  if (channelwise) {
    for (int v = 0; v < 256; ++v) {
      double c = tables.toLinear[v];
      for (const auto& a : adjustments) c = (c - 0.5) * a.contrast + 0.5 + a.brightness;
      opaque[v] = tables.toLevel[std::lround(std::clamp(c, 0.0, 1.0) * 65535)];
    }
  }
  for (int y = 0; y < out.rows; ++y) {
    auto* p = out.ptr<std::uint8_t>(y);
    for (int x = 0; x < out.cols; ++x, p += 4) {
      const int alpha = p[3];
      if (alpha == 0) continue;
      if (channelwise && alpha == 255) {
        p[0] = opaque[p[0]];
        p[1] = opaque[p[1]];
        p[2] = opaque[p[2]];
        continue;
      }
      const double a = alpha / 255.0;
      // Opaque pixels (nearly all) take the table; others are unpremultiplied first.
      const auto linear = [&](std::uint8_t v) {
        return alpha == 255 ? double(tables.toLinear[v]) : sRGBToLinear(std::min(1.0, v / 255.0 / a));
      };
      double b = linear(p[0]), g = linear(p[1]), r = linear(p[2]);
      for (const auto& c : adjustments) {
        const double luma = 0.2126 * r + 0.7152 * g + 0.0722 * b;
        r = luma + c.saturation * (r - luma);
        g = luma + c.saturation * (g - luma);
        b = luma + c.saturation * (b - luma);
        r = (r - 0.5) * c.contrast + 0.5 + c.brightness;
        g = (g - 0.5) * c.contrast + 0.5 + c.brightness;
        b = (b - 0.5) * c.contrast + 0.5 + c.brightness;
      }
      const auto level = [&](double v) {
        const int encoded = tables.toLevel[std::lround(std::clamp(v, 0.0, 1.0) * 65535)];
        return static_cast<std::uint8_t>(alpha == 255 ? encoded : std::lround(encoded * a));
      };
      p[0] = level(b);
      p[1] = level(g);
      p[2] = level(r);
    }
  }
}

// Clears every output pixel whose centre falls outside one of the crops.
void applyCrops(const std::vector<Crop>& crops, const AffineTransform& indexToTop, cv::Mat& out) {
  for (const auto& crop : crops) {
    const AffineTransform indexToCrop = indexToTop.concatenating(crop.toTop.inverted());
    const Rect& r = crop.rect;
    auto inside = [&r](const Point& q) {
      return q.x >= r.minX() && q.x < r.maxX() && q.y >= r.minY() && q.y < r.maxY();
    };
    if (indexToCrop.b == 0 && indexToCrop.c == 0) {
      // Axis-aligned: columns and rows decide separately.
      std::vector<char> column(out.cols), row(out.rows);
      for (int x = 0; x < out.cols; ++x) {
        const double qx = indexToCrop.a * x + indexToCrop.tx;
        column[x] = qx >= r.minX() && qx < r.maxX();
      }
      for (int y = 0; y < out.rows; ++y) {
        const double qy = indexToCrop.d * y + indexToCrop.ty;
        row[y] = qy >= r.minY() && qy < r.maxY();
      }
      for (int y = 0; y < out.rows; ++y) {
        auto* p = out.ptr<std::uint32_t>(y);
        if (!row[y]) {
          std::fill(p, p + out.cols, 0u);
          continue;
        }
        for (int x = 0; x < out.cols; ++x) {
          if (!column[x]) p[x] = 0;
        }
      }
      continue;
    }
    for (int y = 0; y < out.rows; ++y) {
      auto* p = out.ptr<std::uint32_t>(y);
      for (int x = 0; x < out.cols; ++x) {
        if (!inside(indexToCrop.apply(Point{double(x), double(y)}))) p[x] = 0;
      }
    }
  }
}

// `front` drawn over `back` (premultiplied source over), into `back`.
void sourceOver(const cv::Mat& front, cv::Mat& back) {
  for (int y = 0; y < back.rows; ++y) {
    const auto* f = front.ptr<std::uint8_t>(y);
    auto* b = back.ptr<std::uint8_t>(y);
    for (int i = 0; i < 4 * back.cols; i += 4) {
      const int keep = 255 - f[i + 3];
      for (int k = 0; k < 4; ++k) b[i + k] = static_cast<std::uint8_t>(f[i + k] + (b[i + k] * keep + 127) / 255);
    }
  }
}

bool renderInto(const Image& image, const Rect& bounds, bool highQuality, cv::Mat& out);

// Both layers of a composite, moved by `toTop` (transforms distribute over compositing).
bool renderComposite(const Node& composite, const AffineTransform& toTop, const Rect& bounds,
                     bool highQuality, cv::Mat& out) {
  if (!renderInto(Image(composite.background).transformed(toTop), bounds, highQuality, out)) {
    return false;
  }
  cv::Mat front(out.size(), CV_8UC4);
  if (!renderInto(Image(composite.input).transformed(toTop), bounds, highQuality, front)) {
    return false;
  }
  sourceOver(front, out);
  return true;
}

// Renders `image` inside `bounds` into `out`, a BGRA matrix of bounds' size.
bool renderInto(const Image& image, const Rect& bounds, bool highQuality, cv::Mat& out) {
  const Plan plan = flatten(image);
  const AffineTransform indexToTop = outputIndexToPlane(bounds);
  if (!plan.source || plan.source->kind == Node::Kind::empty) {
    out.setTo(cv::Scalar::all(0));
    return true;
  }
  std::vector<Crop> crops = plan.crops;
  if (plan.source->kind == Node::Kind::color) {
    out.setTo(premultipliedBGRA(plan.source->color));
  } else if (plan.source->kind == Node::Kind::composite) {
    if (!renderComposite(*plan.source, plan.sourceToTop, bounds, highQuality, out)) return false;
  } else {
    crops.push_back({plan.source->extent, plan.sourceToTop});
    PixelBuffer& buffer = *plan.source->buffer;
    const AffineTransform g = indexToTop.concatenating(plan.sourceToTop.inverted())
                                  .concatenating(planeToSourceIndex(buffer.height()));
    if (plan.sourceToTop.determinant() == 0) {
      out.setTo(cv::Scalar::all(0));
      return true;
    }
    if (!sampleBuffer(buffer, g, highQuality, out)) return false;
  }
  applyAdjustments(plan.adjustments, out);
  applyCrops(crops, indexToTop, out);
  return true;
}

// renderInto, with OpenCV's refusals turned into a failed render: its warp cannot sample a
// source region or write an output of 32767 pixels or more a side, and says so by throwing.
bool renderIntoSafely(const Image& image, const Rect& bounds, bool highQuality, cv::Mat& out) {
  try {
    return renderInto(image, bounds, highQuality, out);
  } catch (const cv::Exception&) {
    return false;
  }
}

}  // namespace

std::optional<ColorSpace> ColorSpace::named(const std::string& name) {
  if (name == sRGB().name()) return sRGB();
  return std::nullopt;
}

bool Context::render(const Image& image, PixelBuffer& buffer, const Rect& bounds,
                     const ColorSpace& colorSpace) const {
  if (colorSpace != ColorSpace::sRGB() || !validBounds(bounds)) return false;
  if (buffer.pixelFormat() != kPixelFormat32BGRA) return false;
  const int w = static_cast<int>(bounds.width()), h = static_cast<int>(bounds.height());
  if (w > buffer.width() || h > buffer.height()) return false;
  BaseAddressLock lock(buffer, LockFlags::readWrite);
  if (!lock.ok()) return false;
  // Rendering into the buffer that is also the source would read what it writes.
  cv::Mat scratch(h, w, CV_8UC4);
  if (!renderIntoSafely(image, bounds, options_.highQualityDownsample, scratch)) return false;
  cv::Mat target(buffer.height(), buffer.width(), CV_8UC4, buffer.mutableBaseAddress(),
                 buffer.bytesPerRow());
  scratch.copyTo(target(cv::Rect(0, buffer.height() - h, w, h)));
  return true;
}

std::optional<Bitmap> Context::renderBitmap(const Image& image, const Rect& bounds,
                                            BitmapFormat format,
                                            const ColorSpace& colorSpace) const {
  if (colorSpace != ColorSpace::sRGB() || !validBounds(bounds)) return std::nullopt;
  const int w = static_cast<int>(bounds.width()), h = static_cast<int>(bounds.height());
  cv::Mat bgra(h, w, CV_8UC4);
  if (!renderIntoSafely(image, bounds, options_.highQualityDownsample, bgra)) return std::nullopt;
  Bitmap bitmap;
  bitmap.width = w;
  bitmap.height = h;
  bitmap.format = format;
  bitmap.bytesPerRow = static_cast<std::size_t>(w) * Bitmap::bytesPerPixel(format);
  bitmap.bytes.resize(bitmap.bytesPerRow * static_cast<std::size_t>(h));
  cv::Mat target(h, w, format == BitmapFormat::RGB8 ? CV_8UC3 : CV_8UC4, bitmap.bytes.data(),
                 bitmap.bytesPerRow);
  switch (format) {
    case BitmapFormat::RGB8:
      cv::cvtColor(bgra, target, cv::COLOR_BGRA2RGB);
      break;
    case BitmapFormat::RGBA8:
      cv::cvtColor(bgra, target, cv::COLOR_BGRA2RGBA);
      break;
    case BitmapFormat::BGRA8:
      bgra.copyTo(target);
      break;
    case BitmapFormat::RGBX8:
      // Premultiplied colour is the colour drawn over black.
      cv::cvtColor(bgra, target, cv::COLOR_BGRA2RGBA);
      cv::insertChannel(cv::Mat(h, w, CV_8U, cv::Scalar(255)), target, 3);
      break;
  }
  return bitmap;
}

}  // namespace platform::image
