#include "overlay/glyphs.hpp"

#include <QColor>
#include <QLineF>
#include <QPainterPath>
#include <QPointF>
#include <QRectF>
#include <algorithm>
#include <cmath>

namespace quorvel {
namespace {

void quadTo(QPainterPath& path, double cx, double cy, double x, double y, const QRectF& rect) {
  path.quadTo(GlyphMetrics::point(cx, cy, rect), GlyphMetrics::point(x, y, rect));
}
void moveTo(QPainterPath& path, double x, double y, const QRectF& rect) {
  path.moveTo(GlyphMetrics::point(x, y, rect));
}
void lineTo(QPainterPath& path, double x, double y, const QRectF& rect) {
  path.lineTo(GlyphMetrics::point(x, y, rect));
}

}  // namespace

QPointF GlyphMetrics::point(double x, double y, const QRectF& rect) {
  const double s = std::min(rect.width(), rect.height()) / 100.0;
  return QPointF(rect.left() + x * s, rect.top() + y * s);
}

QPainterPath FaceBracketsShape::path(const QRectF& r) const {
  QPainterPath p;
  moveTo(p, 2.6, 30, r);
  lineTo(p, 2.6, 16, r);
  quadTo(p, 2.6, 2.6, 16, 2.6, r);
  lineTo(p, 30, 2.6, r);

  moveTo(p, 70, 2.6, r);
  lineTo(p, 84, 2.6, r);
  quadTo(p, 97.4, 2.6, 97.4, 16, r);
  lineTo(p, 97.4, 30, r);

  moveTo(p, 97.4, 70, r);
  lineTo(p, 97.4, 84, r);
  quadTo(p, 97.4, 97.4, 84, 97.4, r);
  lineTo(p, 70, 97.4, r);

  moveTo(p, 30, 97.4, r);
  lineTo(p, 16, 97.4, r);
  quadTo(p, 2.6, 97.4, 2.6, 84, r);
  lineTo(p, 2.6, 70, r);
  return p;
}

QPainterPath FaceEyeShape::path(const QRectF& r) const {
  QPainterPath p;
  moveTo(p, x, 37.5, r);
  lineTo(p, x, 45, r);
  return p;
}

QPainterPath FaceEyesShape::path(const QRectF& r) const {
  QPainterPath p = FaceEyeShape{29.7}.path(r);
  p.addPath(FaceEyeShape{70.9}.path(r));
  return p;
}

QPainterPath FaceNoseShape::path(const QRectF& r) const {
  QPainterPath p;
  moveTo(p, 51, 37.5, r);
  lineTo(p, 51, 56, r);
  quadTo(p, 51, 60.6, 46.5, 60.6, r);
  return p;
}

QPainterPath FaceMouthShape::path(const QRectF& r) const {
  QPainterPath p;
  moveTo(p, 34.1, 71.8, r);
  quadTo(p, 50, 84, 65.9, 71.8, r);
  return p;
}

QPainterPath FaceIDGlyph::path(const QRectF& r) const {
  QPainterPath p = FaceBracketsShape{}.path(r);
  p.addPath(FaceEyeShape{29.7}.path(r));
  p.addPath(FaceEyeShape{70.9}.path(r));
  p.addPath(FaceNoseShape{}.path(r));
  p.addPath(FaceMouthShape{}.path(r));
  return p;
}

QPainterPath TickGlyph::path(const QRectF& r) const {
  QPainterPath p;
  moveTo(p, 34, 51, r);
  lineTo(p, 45, 62, r);
  lineTo(p, 66, 38, r);
  return p;
}

const QColor& quorvelGreen() {
  static const QColor color = QColor::fromRgbF(48.0f / 255, 209.0f / 255, 88.0f / 255, 1.0f);
  return color;
}

QPainterPath trimmedPath(const QPainterPath& path, double from, double to) {
  from = std::clamp(from, 0.0, 1.0);
  to = std::clamp(to, 0.0, 1.0);
  QPainterPath result;
  if (to <= from) return result;
  // Flatten each subpath (curves become short lines) and walk the total length.
  const auto polygons = path.toSubpathPolygons();
  double total = 0;
  for (const auto& polygon : polygons) {
    for (int i = 1; i < polygon.size(); ++i) total += QLineF(polygon[i - 1], polygon[i]).length();
  }
  if (total <= 0) return result;
  const double start = from * total;
  const double end = to * total;
  double walked = 0;
  for (const auto& polygon : polygons) {
    bool drawing = false;
    for (int i = 1; i < polygon.size(); ++i) {
      const QLineF segment(polygon[i - 1], polygon[i]);
      const double length = segment.length();
      const double a = walked, b = walked + length;
      walked = b;
      if (b < start || a > end || length <= 0) {
        drawing = false;
        continue;
      }
      const double t0 = std::max(0.0, (start - a) / length);
      const double t1 = std::min(1.0, (end - a) / length);
      if (!drawing) result.moveTo(segment.pointAt(t0));
      result.lineTo(segment.pointAt(t1));
      drawing = t1 >= 1.0;
    }
  }
  return result;
}

}  // namespace quorvel
