#include "recognition/face_aligner.hpp"

#include <algorithm>

#include "platform/shared.hpp"

namespace quorvel {

using platform::AffineTransform;
using platform::Point;
using platform::Rect;

namespace SimilarityTransform {

std::optional<AffineTransform> estimate(const std::vector<Point>& from,
                                        const std::vector<Point>& to) {
  if (from.size() != 5 || to.size() != 5) return std::nullopt;
  Point c, cp;
  for (std::size_t i = 0; i < 5; ++i) {
    c.x += from[i].x;
    c.y += from[i].y;
    cp.x += to[i].x;
    cp.y += to[i].y;
  }
  c = {c.x / 5, c.y / 5};
  cp = {cp.x / 5, cp.y / 5};
  double den = 0, sa = 0, sb = 0;
  for (std::size_t i = 0; i < 5; ++i) {
    const Point p{from[i].x - c.x, from[i].y - c.y};
    const Point q{to[i].x - cp.x, to[i].y - cp.y};
    den += p.x * p.x + p.y * p.y;
    sa += p.x * q.x + p.y * q.y;
    sb += p.x * q.y - p.y * q.x;
  }
  if (!(den > 1e-6)) return std::nullopt;
  const double a = sa / den, b = sb / den;
  const double tx = cp.x - (a * c.x - b * c.y);
  const double ty = cp.y - (b * c.x + a * c.y);
  return AffineTransform{a, b, -b, a, tx, ty};
}

}  // namespace SimilarityTransform

FaceAligner::FaceAligner()
    : ciContext_(std::make_shared<platform::image::Context>(
          platform::image::ContextOptions{.useSoftwareRenderer = false,
                                          .highQualityDownsample = true})) {}

FaceAligner& FaceAligner::shared() {
  static platform::SharedInstance<FaceAligner> instance;
  return instance.get();
}

const std::vector<Point>& FaceAligner::templatePoints() {
  static const std::vector<Point> points = FaceEngineSpec::arcface.templatePoints;
  return points;
}

double FaceAligner::templateSide() {
  static const double side = FaceEngineSpec::arcface.templateSide;
  return side;
}

std::optional<std::array<Point, 5>> FaceAligner::fiveLandmarks(
    const platform::vision::FaceObservation& observation, double width, double height) {
  if (!observation.landmarks) return std::nullopt;
  const auto& landmarks = *observation.landmarks;
  const platform::vision::FaceLandmarkRegion* regions[4] = {
      landmarks.leftEye ? &*landmarks.leftEye : nullptr,
      landmarks.rightEye ? &*landmarks.rightEye : nullptr,
      landmarks.nose ? &*landmarks.nose : nullptr,
      landmarks.outerLips ? &*landmarks.outerLips : nullptr};
  for (const auto* region : regions) {
    if (!region || region->pointCount() == 0) return std::nullopt;
  }
  const Rect& bb = observation.boundingBox;
  auto toFrame = [&](const Point& p) {
    return Point{(bb.origin.x + p.x * bb.size.width) * width,
                 (bb.origin.y + p.y * bb.size.height) * height};
  };
  auto mean = [&](const platform::vision::FaceLandmarkRegion& region) {
    Point sum;
    for (const auto& p : region.normalizedPoints) {
      const Point q = toFrame(p);
      sum.x += q.x;
      sum.y += q.y;
    }
    const double n = static_cast<double>(region.pointCount());
    return Point{sum.x / n, sum.y / n};
  };
  std::vector<Point> eyes = {mean(*regions[0]), mean(*regions[1])};
  std::stable_sort(eyes.begin(), eyes.end(),
                   [](const Point& l, const Point& r) { return l.x < r.x; });
  std::vector<Point> lips;
  for (const auto& p : regions[3]->normalizedPoints) lips.push_back(toFrame(p));
  std::stable_sort(lips.begin(), lips.end(),
                   [](const Point& l, const Point& r) { return l.x < r.x; });
  const Point nose = mean(*regions[2]);
  return std::array<Point, 5>{eyes[0], eyes[1], nose, lips.front(), lips.back()};
}

std::optional<platform::image::Image> FaceAligner::alignedFace(
    const std::shared_ptr<platform::image::PixelBuffer>& frame,
    const platform::vision::FaceObservation& observation, const FaceEngineSpec& spec) const {
  // A frame without width or height holds no face.
  if (!frame || frame->width() <= 0 || frame->height() <= 0) return std::nullopt;
  const auto points = fiveLandmarks(observation, frame->width(), frame->height());
  if (!points) return std::nullopt;
  const auto transform = SimilarityTransform::estimate({points->begin(), points->end()},
                                                       spec.templatePoints);
  if (!transform) return std::nullopt;
  const Rect square(0, 0, spec.templateSide, spec.templateSide);
  auto crop = platform::image::Image::fromPixelBuffer(frame).transformed(*transform).cropped(square);
  // Where the square reaches past the frame it is black, as it is in dlib's own face chips:
  // the crop's extent alone would shrink there, and every reader of the aligned face
  // stretches its extent to the model's input.
  if (!crop.isEmpty()) crop = crop.composited(platform::image::Image::color({0, 0, 0, 1}).cropped(square));
  platform::image::ColorControlsFilter filter;
  filter.setInputImage(crop);
  filter.setBrightness(0.05f);
  filter.setContrast(1.1f);
  if (auto output = filter.outputImage()) return output;
  return crop;
}

std::optional<platform::image::Image> FaceAligner::wideSquare(
    const std::shared_ptr<platform::image::PixelBuffer>& frame) const {
  if (!frame) return std::nullopt;
  const double width = frame->width(), height = frame->height();
  const double side = std::min(width, height);
  if (!(side > 0)) return std::nullopt;
  const Point origin{(width - side) / 2, (height - side) / 2};
  return platform::image::Image::fromPixelBuffer(frame)
      .cropped(Rect(origin.x, origin.y, side, side))
      .translatedBy(-origin.x, -origin.y);
}

}  // namespace quorvel
