// Rendering of the notch panel. The images are also written to the test output folder so a
// person can look at them.
#include "overlay/unlock_animation_view.hpp"

#include "support/A_images.hpp"
#include "support/platform_fixture.hpp"
#include "support/simulated_display.hpp"

#include <QPainter>

#include <cmath>
#include <limits>
#include <string>

namespace {

using quorvel::NotchGeometry;
using quorvel::UnlockAnimationModel;
using quorvel::UnlockAnimationView;
using quorvel::testing::countPixels;
using quorvel::testing::PlatformTest;
using quorvel::testing::savePng;

bool isClear(const QImage& image, int x, int y) { return image.pixelColor(x, y).alpha() == 0; }
bool isBlack(const QColor& c) {
  return c.alpha() == 255 && c.red() < 8 && c.green() < 8 && c.blue() < 8;
}
bool isBlack(const QImage& image, int x, int y) { return isBlack(image.pixelColor(x, y)); }
bool isGreen(const QColor& c) {
  return c.alpha() > 200 && c.green() > 120 && c.green() > c.red() + 60 && c.green() > c.blue() + 40;
}
bool isWhitish(const QColor& c, int minimum) {
  return c.red() >= minimum && std::abs(c.red() - c.green()) < 12 && std::abs(c.red() - c.blue()) < 12;
}

// The open panel's model and its view of the housing (220 x 38 unless given), drawn on a
// 320 x 200 canvas.
struct OpenPanel {
  explicit OpenPanel(bool reduceMotion = false, NotchGeometry notch = NotchGeometry(220, 38, true))
      : model(UnlockAnimationModel::make(reduceMotion)), view(model, notch) {
    model->panelProgress = 1;
    model->contentVisible = true;
    model->faceOpacity = 1;
    model->faceScale = 1;
    model->illumination = 1;
  }
  QImage render(double scale = 2) { return view.render({320, 200}, scale); }

  std::shared_ptr<UnlockAnimationModel> model;
  UnlockAnimationView view;
};

using UnlockAnimationViewTest = PlatformTest;

TEST_F(UnlockAnimationViewTest, FullyOpenPanelIsBlackWithAGreenFace) {
  OpenPanel open;
  const QImage image = open.render();
  savePng(image, "unlock_animation_open.png");
  const auto layout = open.view.layout(platform::Rect(0, 0, 320, 200));
  EXPECT_EQ(layout.openSize, (platform::Size{250, 102}));
  EXPECT_EQ(layout.frame, platform::Rect(21, 0, 278, 102));
  EXPECT_EQ(layout.glyph, platform::Rect(134, 42, 52, 52));

  // Black panel body and fillet roots; clear around it.
  EXPECT_TRUE(isBlack(image, 2 * 50, 2 * 50));
  EXPECT_TRUE(isBlack(image, 2 * 270, 2 * 30));
  EXPECT_TRUE(isBlack(image, 2 * 28, 1));       // the flare reaches out along the top
  EXPECT_TRUE(isClear(image, 2 * 10, 2 * 5));   // beyond the fillet
  EXPECT_TRUE(isClear(image, 2 * 23, 2 * 20));  // inside the fillet's curve
  EXPECT_TRUE(isClear(image, 2 * 160, 2 * 110));
  EXPECT_TRUE(isClear(image, 2 * 36, 2 * 101));  // rounded bottom corner

  // Green strokes: the left eye, a bracket's arm, the mouth.
  EXPECT_TRUE(isGreen(image.pixelColor(qRound(2 * (134 + 29.7 * 0.52)), 2 * (42 + 21))));
  EXPECT_TRUE(isGreen(image.pixelColor(qRound(2 * (134 + 1.352)), 2 * (42 + 12))));
  EXPECT_TRUE(isGreen(image.pixelColor(2 * 160, qRound(2 * (42 + 78 * 0.52)))));
  // Between the strokes the panel stays black.
  EXPECT_TRUE(isBlack(image, 2 * (134 + 40 * 0.52), 2 * (42 + 26)));
}

TEST_F(UnlockAnimationViewTest, DrainedPalmWithAMessageIsWhiteOnBlack) {
  OpenPanel open;
  open.model->illumination = 0.55;
  open.model->glyph = UnlockAnimationModel::Glyph::palm;
  open.model->drained = true;
  open.model->message = std::string("Cancelled");
  const QImage image = open.render();
  savePng(image, "unlock_animation_cancelled.png");

  const auto layout = open.view.layout(platform::Rect(0, 0, 320, 200));
  EXPECT_EQ(layout.openSize, (platform::Size{272, 132}));
  ASSERT_TRUE(layout.message);
  EXPECT_TRUE(isBlack(image, 2 * 40, 2 * 125));  // the panel grew 30 points taller
  EXPECT_TRUE(isWhitish(image.pixelColor(2 * 160, 2 * (int(layout.glyph.midY()) + 6)), 230));

  EXPECT_EQ(countPixels(image, isGreen), 0);
  const QRect line(0, int(2 * layout.message->minY()), image.width(),
                   int(2 * layout.message->height()));
  const auto text = [](const QColor& c) { return isWhitish(c, 90) && c.red() < 200; };
  EXPECT_GT(countPixels(image, text, line), 40);  // white at 62 % over black
}

TEST_F(UnlockAnimationViewTest, InitialModelDrawsJustTheHousing) {
  auto model = UnlockAnimationModel::make(false);
  UnlockAnimationView view(model, NotchGeometry(188, 32, true));
  const QImage image = view.render({320, 200}, 2);
  // Housing 188 x 32 centred: x 66...254.
  EXPECT_TRUE(isBlack(image, 2 * 70, 2 * 2));
  EXPECT_TRUE(isBlack(image, 2 * 160, 2 * 31));
  EXPECT_TRUE(isClear(image, 2 * 64, 2 * 5));
  EXPECT_TRUE(isClear(image, 2 * 160, 2 * 33));
  EXPECT_TRUE(isClear(image, 2 * 67, 2 * 31));  // radius-16 bottom corner
  EXPECT_TRUE(isBlack(image, 2 * 66 + 1, 1));   // square top corner
  EXPECT_EQ(countPixels(image, isGreen), 0);  // content hidden

  UnlockAnimationView plain(model, NotchGeometry());
  const QImage bar = plain.render({320, 200}, 1);
  EXPECT_TRUE(isBlack(bar, 76, 7));  // 180 x 8 with corners of radius 4
  EXPECT_TRUE(isClear(bar, 70, 7));
  EXPECT_TRUE(isClear(bar, 160, 9));
  EXPECT_TRUE(isClear(bar, 69, 2));
}

TEST_F(UnlockAnimationViewTest, DrainedStrokesAreWhiteButTheTickStaysGreen) {
  OpenPanel open(true);
  open.model->drained = true;
  open.model->tickProgress = 1;
  open.model->faceOpacity = 0;
  QImage image = open.render();
  // Tick vertex (45, 62) on the grid.
  EXPECT_TRUE(isGreen(image.pixelColor(qRound(2 * (134 + 45 * 0.52)), qRound(2 * (42 + 60 * 0.52)))));
  open.model->faceOpacity = 1;
  open.model->tickProgress = 0;
  image = open.render();
  EXPECT_TRUE(isWhitish(image.pixelColor(qRound(2 * (134 + 29.7 * 0.52)), 2 * (42 + 21)), 230));
}

TEST_F(UnlockAnimationViewTest, TheSweepBandLightsTheStrokesItCrosses) {
  OpenPanel open;
  open.model->illumination = 0;  // dim strokes, so the band shows
  // The nose at the glyph's middle height and the mouth near its bottom.
  const int noseX = qRound(2 * (134 + 51 * 0.52)), noseY = qRound(2 * (42 + 47 * 0.52));
  const int mouthX = 2 * 160, mouthY = qRound(2 * (42 + 78 * 0.52));
  auto greenAt = [](const QImage& image, int x, int y) { return image.pixelColor(x, y).green(); };

  open.model->sweepOpacity = 0;
  const QImage unlit = open.render();
  open.model->sweepOpacity = 1;
  open.model->sweep = 0.5;  // the band across the middle
  const QImage middle = open.render();
  open.model->sweep = 0;  // the band above the glyph
  const QImage above = open.render();
  savePng(middle, "unlock_animation_sweep.png");

  EXPECT_GT(greenAt(middle, noseX, noseY), greenAt(unlit, noseX, noseY) + 60);
  EXPECT_NEAR(greenAt(middle, mouthX, mouthY), greenAt(unlit, mouthX, mouthY), 25);
  EXPECT_NEAR(greenAt(above, noseX, noseY), greenAt(unlit, noseX, noseY), 3);

  // Without reduce motion only: the reduced view has no sweep layer at all.
  OpenPanel calm(true);
  calm.model->illumination = 0;
  calm.model->sweep = 0.5;
  EXPECT_NEAR(greenAt(calm.render(), noseX, noseY), greenAt(unlit, noseX, noseY), 3);
}

TEST_F(UnlockAnimationViewTest, StrokeBrightnessFollowsTheIllumination) {
  OpenPanel open(true);  // no sweep layer
  // Centres of a bracket arm and of the nose's stem, over the black panel.
  const int bracketX = int(2 * (134 + 1.352)), bracketY = 2 * (42 + 12);
  const int noseX = int(2 * (134 + 51 * 0.52)), noseY = int(2 * (42 + 47 * 0.52));
  for (double illumination : {0.0, 0.5, 1.0}) {
    open.model->illumination = illumination;
    const QImage image = open.render();
    EXPECT_NEAR(image.pixelColor(bracketX, bracketY).green(), 209 * (illumination * 0.45 + 0.55),
                3)
        << illumination;
    EXPECT_NEAR(image.pixelColor(noseX, noseY).green(), 209 * (illumination * 0.7 + 0.3), 3)
        << illumination;
  }
}

TEST_F(UnlockAnimationViewTest, GlowIsARadialGreenBehindTheGlyph) {
  OpenPanel open(true);
  open.model->faceOpacity = 0;  // the glow alone
  open.model->bloom = 1;
  const QImage image = open.render();
  const double cx = 160, cy = 42 + 26;
  auto greenAt = [&](double dx) { return image.pixelColor(int(2 * (cx + dx)), int(2 * cy)).green(); };
  EXPECT_NEAR(greenAt(0), 209 * 0.55, 3);
  EXPECT_NEAR(greenAt(0.34 * 52), 209 * 0.55 / 2, 3);  // half way to the gradient's end radius
  EXPECT_EQ(greenAt(0.7 * 52), 0);                      // outside the 1.35-side circle
  open.model->bloom = 0.5;
  EXPECT_NEAR(open.render().pixelColor(int(2 * cx), int(2 * cy)).green(), 209 * 0.55 * 0.5, 3);
}

TEST_F(UnlockAnimationViewTest, FaceTurnsClockwiseAndShrinksAboutItsCentre) {
  OpenPanel open(true);
  const double cx = 160, cy = 42 + 26;
  auto isLit = [](const QImage& image, double x, double y) {
    return isGreen(image.pixelColor(int(2 * x), int(2 * y)));
  };
  // The smile's lowest point lies 14.5 points below the centre; turned a quarter clockwise
  // it lies 14.5 points left of it (a counter-clockwise turn would put it on the right).
  QImage image = open.render();
  EXPECT_TRUE(isLit(image, cx, cy + 14.5));
  EXPECT_FALSE(isLit(image, cx - 14, cy + 0.5));
  EXPECT_FALSE(isLit(image, cx + 14, cy + 0.5));
  open.model->faceTurn = 90;
  image = open.render();
  EXPECT_FALSE(isLit(image, cx, cy + 14.5));
  EXPECT_TRUE(isLit(image, cx - 14, cy + 0.5));
  EXPECT_FALSE(isLit(image, cx + 14, cy + 0.5));
  // At half size the left bracket arm sits half as far from the centre.
  open.model->faceTurn = 0;
  open.model->faceScale = 0.5;
  image = open.render();
  EXPECT_FALSE(isLit(image, 134 + 1.352, cy - 14));
  EXPECT_TRUE(isLit(image, cx - 0.5 * (26 - 1.352), cy - 7));
}

// The centre of the left eye's green, searched in its neighbourhood of a glyph at
// (glyphLeft, glyphTop).
double eyeCentroidAt(const QImage& image, double glyphLeft, double glyphTop, double scale) {
  double sum = 0, weight = 0;
  for (int y = int((glyphTop + 16) * scale); y < int((glyphTop + 27) * scale); ++y) {
    for (int x = int((glyphLeft + 8) * scale); x < int((glyphLeft + 23) * scale); ++x) {
      const double g = image.pixelColor(x, y).greenF() * image.pixelColor(x, y).alphaF();
      sum += g * x;
      weight += g;
    }
  }
  return sum / weight / scale;
}

TEST_F(UnlockAnimationViewTest, GlanceMovesTheEyesInGridUnitsAndShakeTheWholeGlyphInPoints) {
  OpenPanel open(true);  // no sweep layer
  const double before = eyeCentroidAt(open.render(4), 134, 42, 4);
  open.model->glance = 3.2;
  EXPECT_NEAR(eyeCentroidAt(open.render(4), 134, 42, 4) - before, 1.664, 0.05);
  open.model->glance = 0;
  open.model->tickProgress = 1;  // the tick moves with the face
  const double still = eyeCentroidAt(open.render(4), 134, 42, 4);
  open.model->shake = 5;
  EXPECT_NEAR(eyeCentroidAt(open.render(4), 139, 42, 4) - still, 5, 0.05);
}

TEST_F(UnlockAnimationViewTest, NonFiniteOrHugeFaceValuesStayInsideThePanel) {
  for (double bad : {std::numeric_limits<double>::quiet_NaN(),
                     std::numeric_limits<double>::infinity(), 1e12}) {
    OpenPanel open;
    open.model->faceScale = bad;
    open.model->faceTurn = bad;
    open.model->sweep = 0.5;
    const QImage image = open.render();
    // Whatever the face becomes, the drawing stays clipped to the panel's frame.
    EXPECT_TRUE(isClear(image, 2 * 160, 2 * 110)) << bad;
    EXPECT_TRUE(isClear(image, 2 * 10, 2 * 5)) << bad;
  }
}

// Rows (in image pixels) of the message line that hold lit text.
int litRows(const QImage& image, const platform::Rect& line) {
  int rows = 0;
  for (int y = int(2 * line.minY()) - 4; y < int(2 * line.maxY()) + 4; ++y) {
    bool lit = false;
    for (int x = 0; x < image.width() && !lit; ++x) lit = isWhitish(image.pixelColor(x, y), 60);
    rows += lit;
  }
  return rows;
}

TEST_F(UnlockAnimationViewTest, AMessageTooWideShrinksToEightyPercentThenTruncatesWithinTheLine) {
  OpenPanel open(false, NotchGeometry(188, 32, true));
  open.model->drained = true;
  // Capital letters only, so the lit rows are the cap height.
  open.model->message = std::string("HHHH");
  const int natural = litRows(open.render(), *open.view.layout({0, 0, 320, 200}).message);
  open.model->message = std::string(60, 'H');  // far wider than 240 points
  const int shrunk = litRows(open.render(), *open.view.layout({0, 0, 320, 200}).message);
  ASSERT_GT(natural, 10);
  EXPECT_NEAR(double(shrunk) / natural, 0.8, 0.06) << shrunk << " of " << natural;

  open.model->message = std::string(
      "Face not recognised because the room is far too dark for the camera to see anything");
  const QImage image = open.render();
  savePng(image, "unlock_animation_long_message.png");
  // Nothing drawn outside the 240-point line.
  const auto line = *open.view.layout(platform::Rect(0, 0, 320, 200)).message;
  const auto lit = [](const QColor& c) { return isWhitish(c, 60); };
  const QRect band(0, int(2 * line.minY()), image.width(), int(2 * line.maxY()) - int(2 * line.minY()));
  const QRect inside(int(2 * line.minX()), band.top(), int(2 * line.width()), band.height());
  const int drawn = countPixels(image, lit, inside);
  EXPECT_GT(drawn, 200);
  EXPECT_EQ(countPixels(image, lit, band), drawn);
}

TEST_F(UnlockAnimationViewTest, AFailureMessageNeverPushesTheGlyphIntoTheHousing) {
  auto model = UnlockAnimationModel::make(false);
  const NotchGeometry notch(188, 32, true);
  UnlockAnimationView view(model, notch);
  model->begin();
  advance(1.0);
  model->fail("Not recognised \u2014 type your password", nullptr);
  QImage strip(320 * 2 * 8, 200 * 2, QImage::Format_ARGB32_Premultiplied);
  strip.fill(QColor(60, 60, 70));
  QPainter painter(&strip);
  for (int i = 0; i < 40; ++i) {
    const auto layout = view.layout(platform::Rect(0, 0, 320, 200));
    EXPECT_GE(layout.glyph.minY(), notch.height + 4 - 1e-9) << "frame " << i;
    const QImage frame = view.render({320, 200}, 2);
    // The panel hangs from the top edge, and no glyph pixel is inside the housing.
    EXPECT_TRUE(isBlack(frame, 320, 2)) << "frame " << i;
    const auto lit = [](const QColor& c) { return c.alpha() != 0 && !isBlack(c); };
    EXPECT_EQ(countPixels(frame, lit, QRect(2 * 120, 0, 2 * 80, int(2 * notch.height))), 0)
        << "frame " << i;
    if (i % 5 == 0) painter.drawImage((i / 5) * 640, 0, frame);
    advance(0.0125);
  }
  painter.end();
  savePng(strip, "unlock_animation_message_appears.png");
}

}  // namespace
