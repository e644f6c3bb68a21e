// The scan picture: its structure at given times (no pixels), and renderings written to the
// test output folder for a person to look at, with a few pixels checked.
#include "onboarding/face_scan_view.hpp"

#include <QColor>
#include <QImage>
#include <QPainterPath>
#include <QRectF>

#include <algorithm>
#include <cmath>
#include <string>

#include "platform/animation/animation.hpp"
#include "support/A_images.hpp"
#include "support/platform_fixture.hpp"

namespace quorvel::testing {
namespace {

using platform::Point;
using platform::animation::Animation;
using platform::animation::withAnimation;

constexpr double kPi = 3.14159265358979323846;
// Renderings are saved over black, as the tutorial's panel shows them.
const QColor kPanelBlack(Qt::black);

// A 420 x 315 preview whose left half is red and right half blue, as the camera sees it.
EnrolmentModel::Preview splitPreview() {
  const int width = 420, height = 315;
  std::vector<std::uint8_t> bgra;
  for (int i = 0; i < width * height; ++i) {
    const std::uint8_t red = i % width < width / 2 ? 255 : 0;
    bgra.insert(bgra.end(), {static_cast<std::uint8_t>(255 - red), 0, red, 255});
  }
  return std::make_shared<platform::image::Bitmap>(platform::image::Bitmap{
      width, height, platform::image::BitmapFormat::BGRA8, std::size_t{width} * 4, bgra});
}

// The pixel of a rendering at scale 2 of a scan of diameter `D`, `reach` points from the
// circle's centre towards tick `index`.
QColor towardsTick(const QImage& image, double D, int index, double reach) {
  const double side = FaceScanView::frameSide(D), t = index * kPi / 6;
  return image.pixelColor(std::lround(side + 2 * reach * std::sin(t)),
                          std::lround(side - 2 * reach * std::cos(t)));
}

class FaceScanViewTest : public PlatformTest {
 protected:
  std::shared_ptr<EnrolmentModel> model = EnrolmentModel::make();
  platform::Rect bounds(double D) const {
    const double side = FaceScanView::frameSide(D);
    return platform::Rect(0, 0, side, side);
  }
};

TEST_F(FaceScanViewTest, AnEmptyScanIsAFaintDiscWithAWhiteRingAndFaintTicksButBesideTheHead) {
  FaceScanView view(model, 132);
  const double side = FaceScanView::frameSide(132);
  EXPECT_NEAR(side, 132 * 1.46, 1e-9);
  const auto s = view.structure(bounds(132));
  EXPECT_NEAR(s.circle.width(), 132, 1e-9);
  EXPECT_NEAR(s.circle.midX(), side / 2, 1e-9);
  for (const auto& t : s.ticks) {
    EXPECT_NEAR(t.length, 0.08 * 132, 1e-9) << t.index;
    EXPECT_NEAR(t.opacity, 0.16, 1e-9) << t.index;
    EXPECT_EQ(t.width, 3);
  }
  EXPECT_FALSE(s.showsPreview);
  EXPECT_FALSE(s.ringGreen);
  EXPECT_NEAR(s.ringOpacity, 0.14, 1e-12);
  EXPECT_NEAR(s.discOpacity, 0.06, 1e-12);
  EXPECT_FALSE(s.check);
  // Where the ticks stand is checked in pixels, here and with the head to the left below.
  EXPECT_NEAR(s.ticks[1].rotation, 30, 1e-12);

  const QImage image = view.render(2);
  savePng(image, "face_scan_empty.png", kPanelBlack);
  ASSERT_EQ(image.width(), std::lround(2 * side));
  // Inside the disc: white at 6 %.
  const QColor inside = towardsTick(image, 132, 0, 0);
  EXPECT_NEAR(inside.alpha(), 15, 3);
  EXPECT_EQ(inside.red(), 255);
  // The ring at the top of the circle, on the stroke.
  const QColor ring = towardsTick(image, 132, 0, 66);
  EXPECT_GT(ring.alpha(), 30);
  EXPECT_LT(ring.alpha(), 60);
  EXPECT_FALSE(isGreenHue(ring));
  // Tick 0, faint green, 0.07 D above the circle; nothing between.
  const double tickReach = 66 + 0.07 * 132 + 3;
  const QColor tick = towardsTick(image, 132, 0, tickReach);
  EXPECT_TRUE(isGreenHue(tick));
  EXPECT_LT(tick.alpha(), 60);
  EXPECT_EQ(towardsTick(image, 132, 0, 66 + 0.035 * 132).alpha(), 0);
  EXPECT_EQ(image.pixelColor(2, 2).alpha(), 0);

  // The head to the left lights only the ticks beside tick 9.
  model->direction = Point{-0.1, 0.003};  // towards tick 9, a little up
  const QImage left = view.render(2);
  savePng(left, "face_scan_head_left.png", kPanelBlack);
  const auto lit = view.structure(bounds(132));
  EXPECT_GT(lit.ticks[9].opacity, 0.8);
  for (int i : {0, 1, 2, 3, 4, 5, 6, 7, 8, 10, 11}) {
    EXPECT_NEAR(lit.ticks[i].opacity, 0.16, 1e-12) << i;
    EXPECT_NEAR(lit.ticks[i].length, 0.08 * 132, 1e-9) << i;
  }
  // In pixels: tick 11 (upper left) as faint as tick 1 (upper right).
  const auto at = [&](int i) { return towardsTick(left, 132, i, tickReach); };
  EXPECT_LT(at(11).alpha(), 60);
  EXPECT_NEAR(at(11).alpha(), at(1).alpha(), 3);
  EXPECT_GT(at(9).alpha(), 200);
}

TEST_F(FaceScanViewTest, CapturedTicksAreFullLengthWhateverTheHeadAndEaseInOverAFifthOfASecond) {
  FaceScanView view(model, 132);
  model->tickPasses = EnrolmentModel::TickPasses{{0, 1}, {3, 2}, {5, 0}};
  model->direction = Point{0, -0.2};  // towards tick 6
  const auto s = view.structure(bounds(132));
  EXPECT_NEAR(s.ticks[0].length, 0.16 * 132, 1e-9);
  EXPECT_NEAR(s.ticks[0].opacity, 0.55, 1e-12);
  EXPECT_NEAR(s.ticks[3].length, 0.16 * 132, 1e-9);
  EXPECT_NEAR(s.ticks[3].opacity, 1, 1e-12);
  EXPECT_NEAR(s.ticks[6].opacity, 0.9, 1e-12);  // lit by the head
  EXPECT_NEAR(s.ticks[6].length, 0.16 * 132, 1e-9);
  EXPECT_NEAR(s.ticks[5].opacity, 0.16, 1e-12);  // a zero count is no capture
  // Half way to a tick's full reach: half lit, 1.5 times the rest length.
  model->direction = Point{0.03, 0};
  EXPECT_NEAR(view.structure(bounds(132)).ticks[3].opacity, 1, 1e-12);
  model->tickPasses = EnrolmentModel::TickPasses{};
  const auto lit = view.structure(bounds(132));
  EXPECT_NEAR(lit.ticks[3].opacity, 0.16 + 0.74 * 0.5, 1e-12);
  EXPECT_NEAR(lit.ticks[3].length, 0.08 * 132 * 1.5, 1e-9);
  EXPECT_NEAR(lit.ticks[2].opacity, 0.16, 1e-12);

  const double t0 = platform::animation::currentTime();
  withAnimation(Animation::easeOut(0.2), [&] { model->tickPasses = EnrolmentModel::TickPasses{{2, 1}}; });
  EXPECT_NEAR(view.structure(bounds(132), t0).ticks[2].opacity, 0.16, 1e-9);
  const auto middle = view.structure(bounds(132), t0 + 0.1);
  EXPECT_GT(middle.ticks[2].opacity, 0.16 + 0.39 * 0.5);  // ease-out: past half-way at half time
  EXPECT_LT(middle.ticks[2].opacity, 0.55);
  const auto end = view.structure(bounds(132), t0 + 0.2);
  EXPECT_NEAR(end.ticks[2].opacity, 0.55, 1e-9);
  EXPECT_NEAR(end.ticks[2].length, 0.16 * 132, 1e-9);
}

TEST_F(FaceScanViewTest, FinishedFadesTheImageAndDrawsTheCheckOnOnce) {
  FaceScanView view(model, 118);
  model->preview = splitPreview();
  model->centreCaptured = true;
  EnrolmentModel::TickPasses all;
  for (int i = 0; i < 12; ++i) all[i] = 2;
  model->tickPasses = all;
  const double t0 = platform::animation::currentTime();
  withAnimation(Animation::easeOut(0.2), [&] { model->finished = true; });

  const auto shown = view.structure(bounds(118), t0);
  ASSERT_TRUE(shown.check);
  EXPECT_NEAR(shown.check->drawn, 0, 1e-12);
  EXPECT_NEAR(shown.check->scale, 0.7, 1e-12);
  EXPECT_NEAR(shown.previewOpacity, 1, 1e-12);
  // Part-way the check is partly drawn and overshoots its size on the spring.
  const auto drawing = view.structure(bounds(118), t0 + 0.17);
  EXPECT_GT(drawing.check->drawn, 0.5);
  EXPECT_LT(drawing.check->drawn, 1);
  double largest = 0;
  for (double t = 0; t < 1; t += 0.01) largest = std::max(largest, view.structure(bounds(118), t0 + t).check->scale);
  EXPECT_GT(largest, 1.01);

  advance(3);
  const auto settled = view.structure(bounds(118));
  ASSERT_TRUE(settled.check);
  EXPECT_NEAR(settled.check->size, 49.56, 1e-9);
  EXPECT_NEAR(settled.check->lineWidth, 6.4428, 1e-9);
  EXPECT_NEAR(settled.check->drawn, 1, 1e-12);
  EXPECT_NEAR(settled.check->scale, 1, 1e-3);
  EXPECT_NEAR(settled.previewOpacity, 0.25, 1e-12);
  EXPECT_TRUE(settled.showsPreview);
  EXPECT_TRUE(settled.ringGreen);
  EXPECT_NEAR(settled.ringOpacity, 0.3, 1e-12);
  EXPECT_NEAR(settled.check->frame.midX(), settled.circle.midX(), 1e-9);

  const QImage image = view.render(2);
  savePng(image, "face_scan_finished.png", kPanelBlack);
  // The check's corner point (43, 67 of its grid) is green; the image beside it is faded.
  const double u = settled.check->size / 100;
  const QColor corner = image.pixelColor(std::lround(2 * (settled.check->frame.minX() + 43 * u)),
                                         std::lround(2 * (settled.check->frame.minY() + 67 * u)));
  EXPECT_TRUE(isGreenHue(corner));
  EXPECT_GT(corner.alpha(), 240);
  const double side = FaceScanView::frameSide(118);
  const QColor faded = image.pixelColor(std::lround(side + 80), std::lround(side + 60));
  EXPECT_GT(faded.red(), 20);
  EXPECT_LT(faded.alpha(), 120);  // the image at 25 % over the faint disc

  // Set again (a 26th descriptor's bookkeeping): the drawn check stays as it is.
  withAnimation(Animation::easeOut(0.2), [&] { model->finished = true; });
  EXPECT_NEAR(view.structure(bounds(118)).check->drawn, 1, 1e-12);
  EXPECT_NEAR(view.structure(bounds(118)).check->scale, 1, 1e-3);
  // A new scan takes the check away at once.
  model->finished = false;
  EXPECT_FALSE(view.structure(bounds(118)).check);
}

TEST_F(FaceScanViewTest, TheCheckPathStartsAtTheRectanglesTopLeftCorner) {
  const QPainterPath path = FaceScanView::centredCheck(QRectF(10, 20, 200, 100));
  ASSERT_EQ(path.elementCount(), 3);
  EXPECT_EQ(QPointF(path.elementAt(0)), QPointF(37, 71));
  EXPECT_EQ(QPointF(path.elementAt(1)), QPointF(53, 87));
  EXPECT_EQ(QPointF(path.elementAt(2)), QPointF(83, 53));
}

TEST_F(FaceScanViewTest, EveryAnnouncedChangeAsksForARedraw) {
  int redraws = 0;
  {
    FaceScanView view(model, 118);
    view.onNeedsDisplay = [&] { ++redraws; };
    model->direction = Point{0.1, 0};
    model->tickPasses = EnrolmentModel::TickPasses{{1, 1}};
    EXPECT_EQ(redraws, 2);
  }
  model->direction = Point{0.2, 0};  // the view is gone: nobody is called
  EXPECT_EQ(redraws, 2);
}

// ---- Pixels ----------------------------------------------------------------------------------

TEST_F(FaceScanViewTest, ThePreviewIsMirroredAndClippedToTheCircle) {
  FaceScanView view(model, 132);
  model->preview = splitPreview();
  model->centreCaptured = true;
  model->tickPasses = EnrolmentModel::TickPasses{{0, 2}, {1, 1}, {2, 1}, {3, 1}};
  model->direction = Point{-0.1, -0.05};
  const QImage image = view.render(2);
  savePng(image, "face_scan_preview.png", kPanelBlack);
  const double side = FaceScanView::frameSide(132);
  const int c = std::lround(side);  // the centre in pixels at scale 2
  // The camera's left (red) shows on the right.
  const QColor left = image.pixelColor(c - 60, c);
  const QColor right = image.pixelColor(c + 60, c);
  EXPECT_GT(left.blue(), 200);
  EXPECT_LT(left.red(), 40);
  EXPECT_GT(right.red(), 200);
  EXPECT_LT(right.blue(), 40);
  // Outside the circle the image is not drawn (corner of the circle's square).
  const QColor corner = image.pixelColor(std::lround(2 * (side / 2 - 60)), std::lround(2 * (side / 2 - 60)));
  EXPECT_LT(corner.red(), 20);
  EXPECT_LT(corner.blue(), 20);
  // Tick 0, captured twice, is full green; the ring has turned green.
  const QColor tick0 = towardsTick(image, 132, 0, 66 + 0.07 * 132 + 6);
  EXPECT_TRUE(isGreenHue(tick0));
  EXPECT_GT(tick0.alpha(), 240);
  // The ring's outer half lies outside the image: green at 30 %.
  const QColor ring = towardsTick(image, 132, 0, 66.5);
  EXPECT_TRUE(isGreenHue(ring));
  EXPECT_NEAR(ring.alpha(), 0.3 * 255 + 10, 20);  // over the edge of the faint disc
}

}  // namespace
}  // namespace quorvel::testing
