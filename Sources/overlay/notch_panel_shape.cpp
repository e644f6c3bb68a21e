#include "overlay/notch_panel_shape.hpp"

#include <QPainterPath>
#include <QRectF>

#include <algorithm>

namespace quorvel {
namespace {

double ratio(double radius, double height) {
  const double value = height >= 1 ? radius / height : radius;
  return std::clamp(value, 0.0, 0.5);
}

}  // namespace

QPainterPath NotchPanelShape::path(const QRectF& rect) const {
  const auto frame = geometry.frame(progress);
  const double t = progress > 0 ? std::min(progress, 1.0) : 0.0;

  const double L = rect.center().x() - frame.bodyWidth / 2;
  const double R = L + frame.bodyWidth;
  const double T = rect.top();
  const double Y = T + frame.height;
  const double f = frame.filletedWidth;

  const double a = ratio(closedBottomRadius, geometry.closedHeight);
  const double b = ratio(openBottomRadius, geometry.openHeight);
  const double r = (a + (b - a) * t) * std::min(frame.bodyWidth, frame.height);
  const double k = kQuarterCircle;

  QPainterPath p;
  p.moveTo(L - f, T);
  if (f > 0) {
    p.cubicTo(L - f + k * f, T, L, T + f - k * f, L, T + f);
  } else {
    p.lineTo(L, T);
  }
  p.lineTo(L, Y - r);
  p.cubicTo(L, Y - r + k * r, L + r - k * r, Y, L + r, Y);
  p.lineTo(R - r, Y);
  p.cubicTo(R - r + k * r, Y, R, Y - r + k * r, R, Y - r);
  p.lineTo(R, T + f);
  if (f > 0) {
    p.cubicTo(R, T + f - k * f, R + f - k * f, T, R + f, T);
  } else {
    p.lineTo(R + f, T);
  }
  p.closeSubpath();
  return p;
}

}  // namespace quorvel
