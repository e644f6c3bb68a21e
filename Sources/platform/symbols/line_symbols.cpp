#include "platform/symbols/line_symbols.hpp"

#include <QPainterPath>
#include <QPainterPathStroker>
#include <QPolygonF>
#include <QTransform>

#include <cmath>
#include <functional>
#include <map>
#include <numbers>

namespace platform::symbols {
namespace {

constexpr double kLine = 8;  // stroke width of the line-art on the 100-unit box

QPainterPath stroked(const QPainterPath& lines, double width = kLine) {
  QPainterPathStroker stroker;
  stroker.setWidth(width);
  stroker.setCapStyle(Qt::RoundCap);
  stroker.setJoinStyle(Qt::RoundJoin);
  QPainterPath outline = stroker.createStroke(lines).simplified();
  outline.setFillRule(Qt::WindingFill);
  return outline;
}

QPainterPath ring(double cx, double cy, double r) {
  QPainterPath p;
  p.addEllipse(QPointF(cx, cy), r, r);
  return p;
}

QPainterPath disc(double cx, double cy, double r) { return ring(cx, cy, r); }

QPainterPath line(double x0, double y0, double x1, double y1) {
  QPainterPath p;
  p.moveTo(x0, y0);
  p.lineTo(x1, y1);
  return p;
}

QPainterPath roundedBox(double x, double y, double w, double h, double r) {
  QPainterPath p;
  p.addRoundedRect(QRectF(x, y, w, h), r, r);
  return p;
}

QPainterPath checkStroke(double scale = 1, double dx = 0, double dy = 0) {
  QPainterPath p;
  p.moveTo(dx + 31 * scale, dy + 52 * scale);
  p.lineTo(dx + 44 * scale, dy + 65 * scale);
  p.lineTo(dx + 69 * scale, dy + 36 * scale);
  return p;
}

QPainterPath faceId() {
  QPainterPath lines;
  // Four corner brackets.
  const double a = 8, b = 92, arm = 22, r = 12;
  auto corner = [&](double x, double y, double sx, double sy) {
    lines.moveTo(x, y + sy * arm);
    lines.lineTo(x, y + sy * r);
    lines.quadTo(x, y, x + sx * r, y);
    lines.lineTo(x + sx * arm, y);
  };
  corner(a, a, 1, 1);
  corner(b, a, -1, 1);
  corner(a, b, 1, -1);
  corner(b, b, -1, -1);
  lines.addPath(line(34, 36, 34, 44));
  lines.addPath(line(66, 36, 66, 44));
  lines.moveTo(51, 36);
  lines.lineTo(51, 56);
  lines.lineTo(45, 56);
  lines.moveTo(35, 68);
  lines.quadTo(50, 80, 65, 68);
  return stroked(lines);
}

QPainterPath personCropSquare() {
  QPainterPath lines = roundedBox(10, 10, 80, 80, 16);
  QPainterPath shoulders;
  shoulders.moveTo(24, 88);
  shoulders.cubicTo(26, 66, 74, 66, 76, 88);
  lines.addPath(shoulders);
  QPainterPath result = stroked(lines);
  result = result.united(stroked(ring(50, 42, 13)));
  return result;
}

QPainterPath questionmarkCircle() {
  QPainterPath lines = ring(50, 50, 42);
  lines.moveTo(38, 38);
  lines.cubicTo(38, 22, 62, 22, 62, 38);
  lines.cubicTo(62, 48, 50, 50, 50, 60);
  QPainterPath result = stroked(lines);
  return result.united(disc(50, 73, 5.5));
}

QPainterPath key() {
  QPainterPath lines = ring(30, 50, 18);
  lines.addPath(line(48, 50, 92, 50));
  lines.addPath(line(78, 50, 78, 64));
  lines.addPath(line(90, 50, 90, 60));
  return stroked(lines);
}

QPainterPath shieldOutline() {
  QPainterPath p;
  p.moveTo(50, 6);
  p.cubicTo(64, 14, 76, 16, 88, 16);
  p.cubicTo(88, 60, 76, 80, 50, 94);
  p.cubicTo(24, 80, 12, 60, 12, 16);
  p.cubicTo(24, 16, 36, 14, 50, 6);
  p.closeSubpath();
  return p;
}

QPainterPath lockShield() {
  QPainterPath result = stroked(shieldOutline());
  QPainterPath body = roundedBox(36, 46, 28, 22, 4);
  QPainterPath shackle;
  shackle.moveTo(42, 47);
  shackle.lineTo(42, 40);
  shackle.cubicTo(42, 30, 58, 30, 58, 40);
  shackle.lineTo(58, 47);
  result = result.united(body).united(stroked(shackle, 6));
  return result;
}

QPainterPath exclamationTriangle() {
  QPainterPath triangle;
  triangle.moveTo(50, 10);
  triangle.lineTo(92, 86);
  triangle.lineTo(8, 86);
  triangle.closeSubpath();
  QPainterPath result = stroked(triangle);
  result = result.united(stroked(line(50, 36, 50, 60)));
  return result.united(disc(50, 72, 5));
}

QPainterPath seal() {
  // A rosette: twelve gentle lobes around a circle.
  QPainterPath p;
  const int lobes = 12;
  for (int i = 0; i <= lobes * 8; ++i) {
    const double t = 2 * std::numbers::pi * i / (lobes * 8);
    const double r = 40 + 4 * std::cos(lobes * t);
    const QPointF point(50 + r * std::cos(t), 50 + r * std::sin(t));
    if (i == 0) p.moveTo(point); else p.lineTo(point);
  }
  p.closeSubpath();
  return p;
}

QPainterPath checkmarkSeal() { return stroked(seal()).united(stroked(checkStroke())); }

QPainterPath playCircle() {
  QPainterPath result = stroked(ring(50, 50, 42));
  QPainterPath triangle;
  triangle.moveTo(40, 32);
  triangle.lineTo(68, 50);
  triangle.lineTo(40, 68);
  triangle.closeSubpath();
  return result.united(triangle);
}

QPainterPath star(double cx, double cy, double r) {
  QPainterPath p;
  p.moveTo(cx, cy - r);
  p.quadTo(cx + r * 0.12, cy - r * 0.12, cx + r, cy);
  p.quadTo(cx + r * 0.12, cy + r * 0.12, cx, cy + r);
  p.quadTo(cx - r * 0.12, cy + r * 0.12, cx - r, cy);
  p.quadTo(cx - r * 0.12, cy - r * 0.12, cx, cy - r);
  p.closeSubpath();
  return p;
}

QPainterPath sparkles() {
  return star(40, 56, 36).united(star(78, 20, 16)).united(star(80, 80, 11));
}

QPainterPath dockRectangle() {
  QPainterPath result = stroked(roundedBox(8, 16, 84, 68, 12));
  return result.united(roundedBox(22, 62, 56, 10, 5));
}

QPainterPath power() {
  QPainterPath lines;
  lines.arcMoveTo(QRectF(12, 14, 76, 76), 120);
  lines.arcTo(QRectF(12, 14, 76, 76), 120, 300);
  lines.addPath(line(50, 8, 50, 48));
  return stroked(lines);
}

QPainterPath arrowHead(QPointF tip, double angleDegrees) {
  QPainterPath head;
  head.moveTo(0, 0);
  head.lineTo(-16, -11);
  head.lineTo(-16, 11);
  head.closeSubpath();
  QTransform place;
  place.translate(tip.x(), tip.y());
  place.rotate(angleDegrees);
  return place.map(head);
}

QPainterPath circlePath() {
  // Two arcs chasing each other round a circle, each ending in an arrowhead.
  const QRectF box(14, 14, 72, 72);
  QPainterPath lines;
  lines.arcMoveTo(box, 160);
  lines.arcTo(box, 160, -120);
  lines.arcMoveTo(box, 340);
  lines.arcTo(box, 340, -120);
  QPainterPath result = stroked(lines);
  // Arc ends at 40 degrees and 220 degrees (counter-clockwise from +x, y up in Qt's arcs).
  auto pointAt = [&](double degrees) {
    const double t = degrees * std::numbers::pi / 180;
    return QPointF(50 + 36 * std::cos(t), 50 - 36 * std::sin(t));
  };
  // Clockwise travel on screen: the tangent turns by +90 degrees from the radius.
  result = result.united(arrowHead(pointAt(40), -40 + 90 + 6));
  result = result.united(arrowHead(pointAt(220), -220 + 90 + 6));
  return result;
}

QPainterPath trash() {
  QPainterPath lines;
  lines.addPath(line(12, 22, 88, 22));
  lines.moveTo(38, 22);
  lines.lineTo(38, 12);
  lines.lineTo(62, 12);
  lines.lineTo(62, 22);
  lines.moveTo(20, 22);
  lines.lineTo(26, 88);
  lines.lineTo(74, 88);
  lines.lineTo(80, 22);
  lines.addPath(line(41, 38, 42, 74));
  lines.addPath(line(59, 38, 58, 74));
  return stroked(lines);
}

QPainterPath xmarkCircle() {
  QPainterPath lines = ring(50, 50, 42);
  lines.addPath(line(36, 36, 64, 64));
  lines.addPath(line(64, 36, 36, 64));
  return stroked(lines);
}

QPainterPath checkmarkCircleFill() {
  QPainterPath filled = disc(50, 50, 46);
  return filled.subtracted(stroked(checkStroke(), 9));
}

QPainterPath circle() { return stroked(ring(50, 50, 42)); }

const std::map<std::string, std::function<QPainterPath()>>& table() {
  static const std::map<std::string, std::function<QPainterPath()>> symbols = {
      {"faceid", faceId},
      {"person.crop.square", personCropSquare},
      {"questionmark.circle", questionmarkCircle},
      {"key", key},
      {"lock.shield", lockShield},
      {"exclamationmark.triangle", exclamationTriangle},
      {"checkmark.seal", checkmarkSeal},
      {"play.circle", playCircle},
      {"sparkles", sparkles},
      {"dock.rectangle", dockRectangle},
      {"power", power},
      {"arrow.triangle.2.circlepath", circlePath},
      {"trash", trash},
      {"xmark.circle", xmarkCircle},
      {"checkmark.circle.fill", checkmarkCircleFill},
      {"circle", circle},
  };
  return symbols;
}

}  // namespace

std::optional<QPainterPath> lineSymbolUnitPath(const std::string& name) {
  const auto found = table().find(name);
  if (found == table().end()) return std::nullopt;
  return found->second();
}

std::vector<std::string> lineSymbolNames() {
  std::vector<std::string> names;
  for (const auto& [name, make] : table()) names.push_back(name);
  return names;
}

}  // namespace platform::symbols
