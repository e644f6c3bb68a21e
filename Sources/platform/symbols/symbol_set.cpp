#include "platform/symbols/symbol_set.hpp"

#include <QPainterPath>
#include <QPainterPathStroker>
#include <QTransform>

#include "platform/symbols/line_symbols.hpp"

namespace platform::symbols {
namespace {

QPainterPath capsule(double x0, double y0, double x1, double y1) {
  QPainterPath p;
  const double radius = (x1 - x0) / 2;
  p.addRoundedRect(QRectF(x0, y0, x1 - x0, y1 - y0), radius, radius);
  return p;
}

// A raised open hand, palm facing the viewer, on a 100-unit box (x 0...100, y 0...100).
QPainterPath raisedHand() {
  QPainterPath hand;
  hand.addRoundedRect(QRectF(24, 44, 54, 46), 20, 20);
  hand = hand.united(capsule(24, 16, 36, 62));   // index
  hand = hand.united(capsule(38.5, 7, 50.5, 60));  // middle
  hand = hand.united(capsule(53, 11, 65, 60));   // ring
  hand = hand.united(capsule(67, 23, 78, 64));   // little
  QPainterPath thumb = capsule(-6, -30, 6, 4);
  QTransform place;
  place.translate(30, 74);
  place.rotate(-42);
  hand = hand.united(place.map(thumb));
  hand.setFillRule(Qt::WindingFill);
  return hand;
}

}  // namespace

std::optional<QPainterPath> symbolPath(const std::string& name, double pointSize) {
  QPainterPath unit;
  if (name == "hand.raised.fill") {
    unit = raisedHand();
  } else if (name == "hand.raised") {
    QPainterPathStroker stroker;
    stroker.setWidth(7);
    stroker.setJoinStyle(Qt::RoundJoin);
    unit = stroker.createStroke(raisedHand().simplified());
    unit.setFillRule(Qt::WindingFill);
  } else if (auto line = lineSymbolUnitPath(name)) {
    unit = *line;
  } else {
    return std::nullopt;
  }
  // Centre the 100-unit box on the origin, about as tall as the font size.
  const double scale = pointSize / 100.0;
  QTransform fit;
  fit.scale(scale, scale);
  fit.translate(-50, -50);
  return fit.map(unit);
}

std::vector<std::string> availableSymbols() {
  std::vector<std::string> names = {"hand.raised.fill", "hand.raised"};
  for (auto& name : lineSymbolNames()) names.push_back(name);
  return names;
}

}  // namespace platform::symbols
