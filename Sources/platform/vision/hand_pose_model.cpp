#include "platform/vision/hand_pose_model.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <numbers>
#include <utility>

namespace platform::vision::handmodel {
namespace {

// The point `offset` (in the region's upright axes) turned by `rotation` onto the frame.
Point turned(Point offset, double rotation) {
  const double c = std::cos(rotation), s = std::sin(rotation);
  return {c * offset.x - s * offset.y, s * offset.x + c * offset.y};
}

// The turn that stands the line from `base` to `top` upright, in [-π, π).
double uprightRotation(Point base, Point top) {
  double rotation = std::numbers::pi / 2 - std::atan2(-(top.y - base.y), top.x - base.x);
  rotation -= 2 * std::numbers::pi * std::floor((rotation + std::numbers::pi) / (2 * std::numbers::pi));
  return rotation;
}

}  // namespace

const std::vector<Point>& palmAnchors() {
  static const std::vector<Point> anchors = [] {
    std::vector<Point> made;
    made.reserve(kAnchorCount);
    // Layers of equal stride share a grid: stride 8 has one layer, stride 16 three, each
    // with two anchors a cell.
    for (const auto& [stride, perCell] : {std::pair{8, 2}, std::pair{16, 6}}) {
      const int cells = kPalmInputSide / stride;
      for (int y = 0; y < cells; ++y) {
        for (int x = 0; x < cells; ++x) {
          for (int a = 0; a < perCell; ++a) made.push_back({(x + 0.5) / cells, (y + 0.5) / cells});
        }
      }
    }
    return made;
  }();
  return anchors;
}

Letterbox Letterbox::fit(int width, int height, int side) {
  Letterbox box;
  if (width <= 0 || height <= 0) return box;
  box.scale = static_cast<double>(side) / std::max(width, height);
  box.padX = std::floor((side - std::lround(width * box.scale)) / 2.0);
  box.padY = std::floor((side - std::lround(height * box.scale)) / 2.0);
  return box;
}

Point Letterbox::toFrame(double u, double v, int side) const {
  return {(u * side - padX) / scale, (v * side - padY) / scale};
}

std::vector<PalmDetection> decodePalms(const float* regressors, const float* logits,
                                       const Letterbox& letterbox, float minimumScore) {
  std::vector<PalmDetection> found;
  const auto& anchors = palmAnchors();
  const double unit = 1.0 / kPalmInputSide;
  for (int i = 0; i < kAnchorCount; ++i) {
    const float logit = std::clamp(logits[i], -100.0f, 100.0f);
    const float score = 1.0f / (1.0f + std::exp(-logit));
    if (!(score >= minimumScore)) continue;
    const float* raw = regressors + static_cast<std::ptrdiff_t>(i) * kPalmValuesPerAnchor;
    const Point anchor = anchors[static_cast<std::size_t>(i)];
    PalmDetection palm;
    palm.score = score;
    palm.centre = letterbox.toFrame(anchor.x + raw[0] * unit, anchor.y + raw[1] * unit);
    palm.width = raw[2] * unit * kPalmInputSide / letterbox.scale;
    palm.height = raw[3] * unit * kPalmInputSide / letterbox.scale;
    for (int k = 0; k < 7; ++k) {
      palm.keypoints[static_cast<std::size_t>(k)] =
          letterbox.toFrame(anchor.x + raw[4 + 2 * k] * unit, anchor.y + raw[5 + 2 * k] * unit);
    }
    found.push_back(palm);
  }
  return found;
}

double overlap(const Rect& a, const Rect& b) {
  if (a.size.width <= 0 || a.size.height <= 0 || b.size.width <= 0 || b.size.height <= 0) return 0;
  const double x0 = std::max(a.origin.x, b.origin.x);
  const double y0 = std::max(a.origin.y, b.origin.y);
  const double x1 = std::min(a.origin.x + a.size.width, b.origin.x + b.size.width);
  const double y1 = std::min(a.origin.y + a.size.height, b.origin.y + b.size.height);
  if (x1 <= x0 || y1 <= y0) return 0;
  const double shared = (x1 - x0) * (y1 - y0);
  return shared / (a.size.width * a.size.height + b.size.width * b.size.height - shared);
}

std::vector<PalmDetection> weightedNonMaxSuppression(std::vector<PalmDetection> detections,
                                                     double minimumOverlap) {
  std::stable_sort(detections.begin(), detections.end(),
                   [](const PalmDetection& a, const PalmDetection& b) { return a.score > b.score; });
  std::vector<PalmDetection> merged;
  std::vector<bool> used(detections.size(), false);
  for (std::size_t i = 0; i < detections.size(); ++i) {
    if (used[i]) continue;
    const Rect best = detections[i].box();
    PalmDetection sum;
    double weight = 0;
    for (std::size_t j = i; j < detections.size(); ++j) {
      if (used[j] || (j != i && overlap(best, detections[j].box()) <= minimumOverlap)) continue;
      used[j] = true;
      const PalmDetection& d = detections[j];
      const double w = d.score;
      weight += w;
      sum.centre.x += w * d.centre.x;
      sum.centre.y += w * d.centre.y;
      sum.width += w * d.width;
      sum.height += w * d.height;
      for (std::size_t k = 0; k < sum.keypoints.size(); ++k) {
        sum.keypoints[k].x += w * d.keypoints[k].x;
        sum.keypoints[k].y += w * d.keypoints[k].y;
      }
    }
    if (!(weight > 0)) {
      merged.push_back(detections[i]);
      continue;
    }
    sum.score = detections[i].score;
    sum.centre = {sum.centre.x / weight, sum.centre.y / weight};
    sum.width /= weight;
    sum.height /= weight;
    for (auto& point : sum.keypoints) point = {point.x / weight, point.y / weight};
    merged.push_back(sum);
  }
  return merged;
}

Point HandRegion::toFrame(double u, double v) const {
  const Point offset = turned({(u - 0.5) * side, (v - 0.5) * side}, rotation);
  return {centre.x + offset.x, centre.y + offset.y};
}

HandRegion regionFromPalm(const PalmDetection& palm) {
  HandRegion region;
  region.rotation = uprightRotation(palm.keypoints[palmWrist], palm.keypoints[palmMiddleBase]);
  const Point shift = turned({0, -0.5 * palm.height}, region.rotation);
  region.centre = {palm.centre.x + shift.x, palm.centre.y + shift.y};
  region.side = std::max(palm.width, palm.height) * 2.6;
  return region;
}

HandRegion regionFromLandmarks(const std::array<Point, kLandmarkCount>& landmarks) {
  // The wrist and the two lower joints of each finger: the fingertips move too much to
  // place the next crop.
  static constexpr int kSteady[] = {0, 1, 2, 3, 5, 6, 9, 10, 13, 14, 17, 18};
  HandRegion region;
  const Point origin = landmarks[0];
  region.rotation = uprightRotation(origin, landmarks[9]);
  double x0 = INFINITY, y0 = INFINITY, x1 = -INFINITY, y1 = -INFINITY;
  for (const int index : kSteady) {
    const Point p = landmarks[static_cast<std::size_t>(index)];
    const Point q = turned({p.x - origin.x, p.y - origin.y}, -region.rotation);
    x0 = std::min(x0, q.x);
    y0 = std::min(y0, q.y);
    x1 = std::max(x1, q.x);
    y1 = std::max(y1, q.y);
  }
  const double height = y1 - y0;
  const Point middle = turned({(x0 + x1) / 2, (y0 + y1) / 2 - 0.1 * height}, region.rotation);
  region.centre = {origin.x + middle.x, origin.y + middle.y};
  region.side = std::max(x1 - x0, height) * 2.0;
  return region;
}

Rect FoundHand::bounds() const {
  double x0 = INFINITY, y0 = INFINITY, x1 = -INFINITY, y1 = -INFINITY;
  for (const Point& p : landmarks) {
    x0 = std::min(x0, p.x);
    y0 = std::min(y0, p.y);
    x1 = std::max(x1, p.x);
    y1 = std::max(y1, p.y);
  }
  return Rect(x0, y0, x1 - x0, y1 - y0);
}

FoundHand handFromOutput(const HandRegion& region, const float* points, float presence, float palmScore) {
  const double n = kLandmarkInputSide;
  FoundHand hand;
  hand.presence = presence;
  hand.palmScore = palmScore;
  for (int i = 0; i < kLandmarkCount; ++i) {
    hand.landmarks[static_cast<std::size_t>(i)] = region.toFrame(points[3 * i] / n, points[3 * i + 1] / n);
  }
  return hand;
}

namespace {

double distance(Point a, Point b) { return std::hypot(a.x - b.x, a.y - b.y); }

double palmLength(const FoundHand& hand) { return distance(hand.landmarks[0], hand.landmarks[9]); }

// The length of a finger along its bones, base to tip; `finger` 0 is the thumb.
double fingerLength(const FoundHand& hand, int finger) {
  const int base = 1 + 4 * finger;
  double length = 0;
  for (int k = base; k < base + 3; ++k) {
    length += distance(hand.landmarks[static_cast<std::size_t>(k)], hand.landmarks[static_cast<std::size_t>(k + 1)]);
  }
  return length;
}

}  // namespace

bool isHandLike(const FoundHand& hand, float minimumPresence) {
  return hand.presence >= minimumPresence && palmLength(hand) > 0 &&
         fingerLength(hand, 4) <= fingerLength(hand, 2);
}

double keypointDisagreement(const PalmDetection& palm, const FoundHand& hand) {
  static constexpr std::pair<int, int> kSame[] = {
      {palmWrist, 0}, {palmIndexBase, 5}, {palmMiddleBase, 9}, {palmRingBase, 13}, {palmLittleBase, 17}};
  double sum = 0;
  for (const auto& [keypoint, landmark] : kSame) {
    sum += distance(palm.keypoints[static_cast<std::size_t>(keypoint)], hand.landmarks[static_cast<std::size_t>(landmark)]);
  }
  return sum / std::size(kSame) / palmLength(hand);
}

}  // namespace platform::vision::handmodel
