// The face, scan and success symbols: outline shapes on a 100 x 100 design grid anchored at
// the drawing rectangle's top-left corner and scaled by its shorter side (y grows downward),
// and the accent green they are drawn in.
#pragma once

// Qt types are only declared here: Qt's headers define keyword macros (emit, ...) that must
// not reach code including this header before the log.
class QColor;
class QPainterPath;
class QPointF;
class QRectF;

namespace quorvel {

struct GlyphMetrics {
  GlyphMetrics() = delete;
  // The point of grid coordinates (x, y) in `rect`.
  static QPointF point(double x, double y, const QRectF& rect);
};

struct FaceBracketsShape {
  QPainterPath path(const QRectF& rect) const;
};
struct FaceEyeShape {
  double x = 0;
  QPainterPath path(const QRectF& rect) const;
};
struct FaceEyesShape {
  QPainterPath path(const QRectF& rect) const;
};
struct FaceNoseShape {
  QPainterPath path(const QRectF& rect) const;
};
struct FaceMouthShape {
  QPainterPath path(const QRectF& rect) const;
};
struct FaceIDGlyph {
  QPainterPath path(const QRectF& rect) const;
};
struct TickGlyph {
  QPainterPath path(const QRectF& rect) const;
};

// sRGB 48/255, 209/255, 88/255, opacity 1.
const QColor& quorvelGreen();

// The part of `path` between the fractions `from` and `to` of its length (each 0...1), as
// open polylines (curves flattened), like a shape trimmed for a growing stroke.
QPainterPath trimmedPath(const QPainterPath& path, double from, double to);

}  // namespace quorvel
