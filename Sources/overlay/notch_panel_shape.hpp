// The outline of the black panel that grows out of the camera housing: a rectangle hanging
// from the top edge, its top corners flared outward by concave fillets, its bottom corners
// rounded. `progress` morphs it between the closed (notch-sized) and the open panel and is
// the shape's animatable value.
#pragma once

#include "overlay/notch_geometry.hpp"

// Qt types are only declared here: Qt's headers define keyword macros (emit, ...) that must
// not reach code including this header before the log.
class QPainterPath;
class QRectF;

namespace quorvel {

struct NotchPanelShape {
  NotchPanelGeometry geometry;
  double progress = 0;
  double closedBottomRadius = 0;
  double openBottomRadius = 0;

  NotchPanelShape(NotchPanelGeometry geometry, double progress, double closedBottomRadius,
                  double openBottomRadius)
      : geometry(geometry),
        progress(progress),
        closedBottomRadius(closedBottomRadius),
        openBottomRadius(openBottomRadius) {}

  double animatableData() const { return progress; }
  void setAnimatableData(double value) { progress = value; }

  // The outline for the drawing rectangle `rect` (y grows downward); it is not clipped to it.
  QPainterPath path(const QRectF& rect) const;

  // The quarter-circle factor of the cubic Bézier corners.
  static constexpr double kQuarterCircle = 0.5523;
};

}  // namespace quorvel
