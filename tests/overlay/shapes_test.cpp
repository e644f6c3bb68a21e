#include <gtest/gtest.h>

#include <QPainterPath>
#include <QPointF>
#include <QRectF>
#include <cmath>
#include <vector>

#include "overlay/glyphs.hpp"
#include "overlay/notch_panel_shape.hpp"

namespace {

using quorvel::NotchPanelGeometry;
using quorvel::NotchPanelShape;

constexpr double k = 0.5523;

using Element = QPainterPath::Element;

std::vector<Element> elements(const QPainterPath& path) {
  std::vector<Element> list;
  for (int i = 0; i < path.elementCount(); ++i) list.push_back(path.elementAt(i));
  return list;
}

void expectPoint(const QPointF& actual, double x, double y, const char* what) {
  EXPECT_NEAR(actual.x(), x, 1e-9) << what;
  EXPECT_NEAR(actual.y(), y, 1e-9) << what;
}

// Checks a cubic at `index` (the curve element followed by its two data elements): first
// control point, second control point, end point.
void expectCubic(const std::vector<Element>& list, std::size_t index, QPointF c1, QPointF c2,
                 QPointF end, const char* what) {
  ASSERT_LT(index + 2, list.size()) << what;
  EXPECT_EQ(list[index].type, QPainterPath::CurveToElement) << what;
  expectPoint(list[index], c1.x(), c1.y(), what);
  expectPoint(list[index + 1], c2.x(), c2.y(), what);
  expectPoint(list[index + 2], end.x(), end.y(), what);
}

// The closed panel (square top, radius 16) and the open one (fillets of 14, radius 30) are
// the ends of this interpolation; their outlines are checked at every step below.
TEST(NotchPanelShapeTest, IntermediateProgressInterpolatesTheRadiusRatio) {
  const NotchPanelShape shape(NotchPanelGeometry(188, 32, 250, 96, 14), 0.5, 16, 30);
  const auto list = elements(shape.path(QRectF(0, 0, 300, 100)));
  // Body 219 x 64, f = 7; ratio 0.5 -> 0.3125 gives 0.40625 of the smaller side: r = 26.
  const double L = 150 - 219.0 / 2, R = L + 219, r = 26;
  expectPoint(list[0], L - 7, 0, "start");
  expectCubic(list, 1, {L - 7 + k * 7, 0}, {L, 7 - k * 7}, {L, 7}, "top-left fillet");
  expectPoint(list[4], L, 64 - r, "left side");
  expectCubic(list, 5, {L, 64 - r + k * r}, {L + r - k * r, 64}, {L + r, 64}, "bottom left");
  expectCubic(list, 9, {R - r + k * r, 64}, {R, 64 - r + k * r}, {R, 64 - r}, "bottom right");
  expectCubic(list, 13, {R, 7 - k * 7}, {R + 7 - k * 7, 0}, {R + 7, 0}, "top-right fillet");
}

TEST(NotchPanelShapeTest, ProgressOutsideTheRangeIsClamped) {
  const NotchPanelGeometry geometry(188, 32, 250, 96, 14);
  const QRectF rect(0, 0, 300, 100);
  EXPECT_EQ(NotchPanelShape(geometry, -0.4, 16, 30).path(rect),
            NotchPanelShape(geometry, 0, 16, 30).path(rect));
  EXPECT_EQ(NotchPanelShape(geometry, 3, 16, 30).path(rect),
            NotchPanelShape(geometry, 1, 16, 30).path(rect));
}

TEST(NotchPanelShapeTest, EveryStepOfAnAnimationHasTheFrameItsGeometryGives) {
  const NotchPanelGeometry geometry(188, 32, 250, 96, 14);
  double previousHeight = 0;
  for (int step = 0; step <= 20; ++step) {
    const double p = step / 20.0;
    const auto bounds = NotchPanelShape(geometry, p, 16, 30).path(QRectF(0, 0, 300, 100))
                            .boundingRect();
    const auto frame = geometry.frame(p);
    EXPECT_NEAR(bounds.width(), frame.outerWidth, 1e-9) << p;
    EXPECT_NEAR(bounds.height(), frame.height, 1e-9) << p;
    EXPECT_NEAR(bounds.center().x(), 150, 1e-9) << p;
    EXPECT_GT(bounds.height(), previousHeight) << p;
    previousHeight = bounds.height();
  }
}

TEST(NotchPanelShapeTest, RadiiAreClampedToHalfTheSmallerSideOrZero) {
  const QRectF rect(0, 0, 300, 100);
  // Too large: half of the 32-point height.
  auto list = elements(NotchPanelShape(NotchPanelGeometry(188, 32, 250, 96, 14), 0, 40, 30)
                           .path(rect));
  expectPoint(list[1], 56, 16, "radius clamped to 16");
  // Negative: square corners; the corner curves collapse onto the corner points.
  const auto square =
      NotchPanelShape(NotchPanelGeometry(188, 32, 250, 96, 14), 0, -5, 30).path(rect);
  list = elements(square);
  expectPoint(list[1], 56, 32, "straight down to the corner");
  EXPECT_TRUE(square.boundingRect() == QRectF(56, 0, 188, 32));
  // A zero or negative fillet gives straight top corners even when open.
  list = elements(NotchPanelShape(NotchPanelGeometry(188, 32, 250, 96, -2), 1, 16, 30).path(rect));
  expectPoint(list[0], 25, 0, "no flare");
  EXPECT_EQ(list[1].type, QPainterPath::LineToElement);
}

TEST(NotchPanelShapeTest, HeightsBelowOneUseTheRadiusAsARatio) {
  // Closed height 0.5: the closed radius 0.25 is a ratio of the smaller side (0.5) -> 0.125.
  const auto list = elements(
      NotchPanelShape(NotchPanelGeometry(100, 0.5, 250, 96, 14), 0, 0.25, 30)
          .path(QRectF(0, 0, 200, 100)));
  expectPoint(list[1], 50, 0.5 - 0.125, "left side ends one radius above the bottom");
}

// --- glyphs ---------------------------------------------------------------------------------

TEST(GlyphTest, WideRectangleKeepsTheGlyphInItsLeftSquare) {
  const QRectF wide(10, 20, 100, 50);
  const QRectF face = quorvel::FaceIDGlyph{}.path(wide).boundingRect();
  expectPoint(face.topLeft(), 10 + 1.3, 20 + 1.3, "face top left");
  expectPoint(face.bottomRight(), 10 + 48.7, 20 + 48.7, "face bottom right");
  const auto eyes = elements(quorvel::FaceEyesShape{}.path(wide));
  expectPoint(eyes[0], 10 + 29.7 * 0.5, 20 + 37.5 * 0.5, "eye in the left square");
}

TEST(GlyphTest, ZeroSizedRectangleCollapsesEveryPointOntoItsOrigin) {
  const QRectF empty(7, 9, 0, 0);
  const QRectF flat(7, 9, 80, 0);
  for (const QRectF& rect : {empty, flat}) {
    for (const QPainterPath& path :
         {quorvel::FaceIDGlyph{}.path(rect), quorvel::TickGlyph{}.path(rect),
          quorvel::FaceEyesShape{}.path(rect)}) {
      ASSERT_GT(path.elementCount(), 0);
      for (const auto& e : elements(path)) expectPoint(e, 7, 9, "collapsed");
    }
  }
}

TEST(GlyphTest, TrimmingDrawsTheTickFromItsLeftEnd) {
  const QRectF square(0, 0, 100, 100);
  const QPainterPath tick = quorvel::TickGlyph{}.path(square);
  EXPECT_TRUE(quorvel::trimmedPath(tick, 0, 0).isEmpty());
  const double first = std::hypot(11, 11), second = std::hypot(21, 24);
  const double total = first + second;
  // Just past the vertex.
  const double f = (first + 5) / total;
  const auto partial = elements(quorvel::trimmedPath(tick, 0, f));
  ASSERT_EQ(partial.size(), 3u);
  expectPoint(partial[0], 34, 51, "starts at the left end");
  expectPoint(partial[1], 45, 62, "through the vertex");
  expectPoint(partial[2], 45 + 21 * 5 / second, 62 - 24 * 5 / second, "towards upper right");
  const auto whole = elements(quorvel::trimmedPath(tick, 0, 1));
  expectPoint(whole.back(), 66, 38, "complete");
}

}  // namespace
