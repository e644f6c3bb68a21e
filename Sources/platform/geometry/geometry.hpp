// Points, sizes, rectangles and affine transforms with Core Graphics semantics: a point maps
// through a transform as (a·x + c·y + tx, b·x + d·y + ty), and `concatenating` applies the
// receiver first, then the argument.
#pragma once

#include <cmath>
#include <limits>

namespace platform {

struct Point {
  double x = 0, y = 0;
  bool operator==(const Point&) const = default;
};

struct Size {
  double width = 0, height = 0;
  bool operator==(const Size&) const = default;
};

struct Rect {
  Point origin;
  Size size;

  constexpr Rect() = default;
  constexpr Rect(double x, double y, double w, double h) : origin{x, y}, size{w, h} {}
  constexpr Rect(Point o, Size s) : origin(o), size(s) {}

  static Rect null() {
    const double inf = std::numeric_limits<double>::infinity();
    return Rect(inf, inf, 0, 0);
  }
  static Rect infinite() {
    const double max = std::numeric_limits<double>::max();
    return Rect(-max / 2, -max / 2, max, max);
  }
  bool isNull() const { return std::isinf(origin.x) || std::isinf(origin.y); }
  bool isInfinite() const {
    const double max = std::numeric_limits<double>::max();
    return size.width >= max && size.height >= max;
  }
  bool isEmpty() const { return isNull() || size.width == 0 || size.height == 0; }

  Rect standardized() const {
    Rect r = *this;
    if (r.size.width < 0) {
      r.origin.x += r.size.width;
      r.size.width = -r.size.width;
    }
    if (r.size.height < 0) {
      r.origin.y += r.size.height;
      r.size.height = -r.size.height;
    }
    return r;
  }
  double minX() const { return standardized().origin.x; }
  double minY() const { return standardized().origin.y; }
  double maxX() const { const Rect r = standardized(); return r.origin.x + r.size.width; }
  double maxY() const { const Rect r = standardized(); return r.origin.y + r.size.height; }
  double midX() const { const Rect r = standardized(); return r.origin.x + r.size.width / 2; }
  double midY() const { const Rect r = standardized(); return r.origin.y + r.size.height / 2; }
  double width() const { return std::fabs(size.width); }
  double height() const { return std::fabs(size.height); }

  Rect insetBy(double dx, double dy) const {
    Rect r = standardized();
    r.origin.x += dx;
    r.origin.y += dy;
    r.size.width -= 2 * dx;
    r.size.height -= 2 * dy;
    if (r.size.width < 0 || r.size.height < 0) return null();
    return r;
  }
  Rect offsetBy(double dx, double dy) const {
    Rect r = standardized();
    r.origin.x += dx;
    r.origin.y += dy;
    return r;
  }
  Rect intersection(const Rect& other) const {
    if (isNull() || other.isNull()) return null();
    const double x0 = std::fmax(minX(), other.minX());
    const double y0 = std::fmax(minY(), other.minY());
    const double x1 = std::fmin(maxX(), other.maxX());
    const double y1 = std::fmin(maxY(), other.maxY());
    if (x1 < x0 || y1 < y0) return null();
    return Rect(x0, y0, x1 - x0, y1 - y0);
  }
  Rect unionWith(const Rect& other) const {
    if (isNull()) return other.standardized();
    if (other.isNull()) return standardized();
    const double x0 = std::fmin(minX(), other.minX());
    const double y0 = std::fmin(minY(), other.minY());
    const double x1 = std::fmax(maxX(), other.maxX());
    const double y1 = std::fmax(maxY(), other.maxY());
    return Rect(x0, y0, x1 - x0, y1 - y0);
  }
  bool contains(Point p) const {
    return !isNull() && p.x >= minX() && p.x < maxX() && p.y >= minY() && p.y < maxY();
  }
  bool intersects(const Rect& other) const { return !intersection(other).isNull(); }
  bool operator==(const Rect&) const = default;
};

struct AffineTransform {
  double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;

  static AffineTransform identity() { return {}; }
  static AffineTransform translation(double x, double y) { return {1, 0, 0, 1, x, y}; }
  static AffineTransform scale(double sx, double sy) { return {sx, 0, 0, sy, 0, 0}; }
  static AffineTransform rotation(double radians) {
    const double cs = std::cos(radians), sn = std::sin(radians);
    return {cs, sn, -sn, cs, 0, 0};
  }

  bool isIdentity() const { return *this == AffineTransform{}; }

  // This transform, then `t`.
  AffineTransform concatenating(const AffineTransform& t) const {
    return {a * t.a + b * t.c,         a * t.b + b * t.d,
            c * t.a + d * t.c,         c * t.b + d * t.d,
            tx * t.a + ty * t.c + t.tx, tx * t.b + ty * t.d + t.ty};
  }
  // The translation, scale or rotation applied before this transform.
  AffineTransform translatedBy(double x, double y) const {
    return translation(x, y).concatenating(*this);
  }
  AffineTransform scaledBy(double sx, double sy) const { return scale(sx, sy).concatenating(*this); }
  AffineTransform rotated(double radians) const { return rotation(radians).concatenating(*this); }

  double determinant() const { return a * d - b * c; }
  // The inverse; the transform itself when it is not invertible (as the platform does).
  AffineTransform inverted() const {
    const double det = determinant();
    if (det == 0 || !std::isfinite(det)) return *this;
    return {d / det,  -b / det, -c / det, a / det,
            (c * ty - d * tx) / det, (b * tx - a * ty) / det};
  }

  Point apply(Point p) const { return {a * p.x + c * p.y + tx, b * p.x + d * p.y + ty}; }
  Size apply(Size s) const { return {a * s.width + c * s.height, b * s.width + d * s.height}; }
  // The smallest rectangle holding the four transformed corners.
  Rect apply(const Rect& r) const {
    if (r.isNull()) return r;
    if (r.isInfinite()) return r;
    const Rect s = r.standardized();
    const Point p[4] = {apply(Point{s.minX(), s.minY()}), apply(Point{s.maxX(), s.minY()}),
                        apply(Point{s.minX(), s.maxY()}), apply(Point{s.maxX(), s.maxY()})};
    double x0 = p[0].x, x1 = p[0].x, y0 = p[0].y, y1 = p[0].y;
    for (const auto& q : p) {
      x0 = std::fmin(x0, q.x);
      x1 = std::fmax(x1, q.x);
      y0 = std::fmin(y0, q.y);
      y1 = std::fmax(y1, q.y);
    }
    return Rect(x0, y0, x1 - x0, y1 - y0);
  }
  bool operator==(const AffineTransform&) const = default;
};

}  // namespace platform
