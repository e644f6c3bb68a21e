// "--render-animation" and "--preview-animation" on the simulated machine. The rendered PNGs
// are also copied to the test output folder so a person can look at them.
#include "app/diagnostics_animation.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "foundation/settings.hpp"
#include "overlay/lock_screen_overlay.hpp"
#include "overlay/unlock_animation_view.hpp"
#include "support/platform_fixture.hpp"
#include "support/simulated_display.hpp"
#include "support/ui_updater_hooks.hpp"

// After the log header: Qt defines keyword macros.
#include <QColor>
#include <QImage>

namespace {

using quorvel::testing::PlatformTest;
using quorvel::testing::simulatedApplication;
namespace diag = quorvel::diagnostics;

std::vector<std::string> argv(std::vector<std::string> rest) {
  rest.insert(rest.begin(), "quorvel");
  return rest;
}

TEST(RenderArguments, NumbersParseWholeOrNotAtAll) {
  const std::pair<const char*, double> numbers[] = {{"200", 200.0}, {"-3.5", -3.5}, {"+7", 7.0}, {"1e2", 100.0},
                                                    {".5", 0.5},     {"0x10", 16.0},  {"inf", INFINITY}};
  for (const auto& [text, value] : numbers) EXPECT_EQ(diag::parseNumber(text), value) << text;
  EXPECT_TRUE(std::isnan(*diag::parseNumber("nan")));
  for (const char* text : {"", " 200", "200 ", "abc", "12abc", "--palm", "+-3", "--3", "0x", "1,5",
                           "1e", "2 3"}) {
    EXPECT_FALSE(diag::parseNumber(text)) << '"' << text << '"';
  }
}

TEST(RenderArguments, PathThenUpToFourNumbersAnywherePalmAnywhereAndNoRequestWithoutAPath) {
  const struct {
    std::vector<std::string> args;
    std::string path;
    double notchWidth, notchHeight, canvasWidth, canvasHeight;
    bool palm;
  } cases[] = {
      {{"--render-animation", "out.png"}, "out.png", 220, 38, 320, 200, false},
      {{"--render-animation", "out.png", "200", "32", "--palm"}, "out.png", 200, 32, 320, 200, true},
      {{"--render-animation", "out.png", "abc", "200"}, "out.png", 200, 38, 320, 200, false},
      // The fifth number is ignored.
      {{"--palm", "--render-animation", "o.png", "1", "2", "3", "4", "5", "--render-animation"}, "o.png", 1, 2, 3, 4,
       true},
      // Numbers before the switch and the path itself are not numbers of the request.
      {{"300", "--render-animation", "250"}, "250", 220, 38, 320, 200, false},
  };
  for (const auto& c : cases) {
    const auto request = diag::renderRequest(argv(c.args));
    ASSERT_TRUE(request) << c.args[1];
    EXPECT_EQ(std::tie(request->outputPath, request->notchWidth, request->notchHeight, request->canvasWidth,
                       request->canvasHeight, request->palm),
              std::tie(c.path, c.notchWidth, c.notchHeight, c.canvasWidth, c.canvasHeight, c.palm));
  }
  // The switch as the last argument, in another case or with the path attached is no request.
  for (const std::vector<std::string>& args : {std::vector<std::string>{"--render-animation"},
                                               {"out.png", "--render-animation"},
                                               {"--Render-Animation", "out.png"},
                                               {"--render-animation=out.png"}}) {
    EXPECT_FALSE(diag::renderAnimationRequested(argv(args))) << args[0];
    EXPECT_FALSE(diag::renderRequest(argv(args))) << args[0];
  }
  EXPECT_TRUE(diag::renderAnimationRequested(argv({"--render-animation", "out.png"})));
  std::ostringstream out;
  EXPECT_EQ(diag::runRenderAnimation(argv({"--render-animation"}), out), 1);
  EXPECT_EQ(out.str(), "");
}

class RenderAnimationTest : public PlatformTest {
 protected:
  int render(std::vector<std::string> rest) {
    out.str("");
    return diag::runRenderAnimation(argv(std::move(rest)), out);
  }
  std::string path(const std::string& name) { return home() + "/" + name; }
  void keep(const std::string& file, const std::string& name) {
    std::error_code ignored;
    std::filesystem::copy_file(file, quorvel::testing::testOutputFolder() + "/" + name,
                               std::filesystem::copy_options::overwrite_existing, ignored);
  }
  // The view drawn directly, as the renderer should have drawn it.
  static QImage expected(double notchWidth, double notchHeight, double canvasWidth,
                         double canvasHeight, bool palm) {
    auto model = quorvel::UnlockAnimationModel::make();
    model->panelProgress = 1.0;
    model->contentVisible = true;
    model->faceOpacity = 1.0;
    model->illumination = 1.0;
    if (palm) {
      model->glyph = quorvel::UnlockAnimationModel::Glyph::palm;
      model->drained = true;
      model->message = std::optional<std::string>("Cancelled");
    }
    quorvel::UnlockAnimationView view(model, quorvel::NotchGeometry(notchWidth, notchHeight, true));
    return view.render({canvasWidth, canvasHeight}, 2.0).convertToFormat(QImage::Format_ARGB32);
  }
  static int largestDifference(const QImage& a, const QImage& b) {
    int largest = 0;
    for (int y = 0; y < a.height(); ++y) {
      for (int x = 0; x < a.width(); ++x) {
        const QColor p = a.pixelColor(x, y), q = b.pixelColor(x, y);
        if (p.alpha() == 0 && q.alpha() == 0) continue;
        largest = std::max({largest, std::abs(p.alpha() - q.alpha()), std::abs(p.red() - q.red()),
                            std::abs(p.green() - q.green()), std::abs(p.blue() - q.blue())});
      }
    }
    return largest;
  }
  std::ostringstream out;
};

TEST_F(RenderAnimationTest, ThePanelIsAPNGOfTwiceTheCanvasWithTheGivenNotchAndLook) {
  const std::string file = path("out.png");
  { std::ofstream(file) << std::string(100000, 'x'); }  // an existing file is replaced
  const struct {
    std::vector<std::string> numbers;
    double notchWidth, notchHeight, canvasWidth;
    bool palm;
    std::string notch;  // as printed; the line always names a 320x200 canvas
  } cases[] = {{{}, 220, 38, 320, false, "220.0x38.0"},
               {{"200", "32", "--palm"}, 200, 32, 320, true, "200.0x32.0"},
               {{"200", "32", "400"}, 200, 32, 400, false, "200.0x32.0"},
               {{"180.5", "2.5e1"}, 180.5, 25, 320, false, "180.5x25.0"}};
  for (const auto& c : cases) {
    std::vector<std::string> args = {"--render-animation", file};
    args.insert(args.end(), c.numbers.begin(), c.numbers.end());
    ASSERT_EQ(render(args), 0);
    EXPECT_EQ(out.str(), "Rendered notch " + c.notch + " into a 320x200 canvas: " + file + "\n");
    keep(file, std::string("render_animation_") + (c.palm ? "palm_" : "face_") + c.notch + ".png");
    const QImage png = QImage(QString::fromStdString(file), "PNG").convertToFormat(QImage::Format_ARGB32);
    ASSERT_EQ(png.size(), QSize(static_cast<int>(2 * c.canvasWidth), 400)) << c.notch;
    // The view's own drawing, and not the other look.
    EXPECT_LE(largestDifference(png, expected(c.notchWidth, c.notchHeight, c.canvasWidth, 200, c.palm)), 1);
    EXPECT_GT(largestDifference(png, expected(c.notchWidth, c.notchHeight, c.canvasWidth, 200, !c.palm)), 100);
  }
  // It only obtains the application object, once per run.
  EXPECT_EQ(simulatedApplication().obtainedCount(), 4);
  EXPECT_TRUE(simulatedApplication().policyRequests().empty());
}

TEST_F(RenderAnimationTest, AMissingFolderOrACanvasThatCannotBeRenderedWritesNothing) {
  EXPECT_EQ(render({"--render-animation", path("missing/out.png")}), 1);
  EXPECT_EQ(out.str(),
            "FAILED: The file \u201cout.png\u201d couldn\u2019t be saved: No such file or "
            "directory.\n");
  EXPECT_FALSE(std::filesystem::exists(path("missing")));
  const std::string file = path("none.png");
  for (std::vector<std::string> numbers :
       {std::vector<std::string>{"220", "38", "0"}, {"220", "38", "320", "-5"},
        {"220", "38", "inf"}, {"220", "38", "nan"}, {"220", "38", "100000"},
        {"nan", "38"}, {"220", "inf"}}) {
    std::vector<std::string> args = {"--render-animation", file};
    args.insert(args.end(), numbers.begin(), numbers.end());
    EXPECT_EQ(render(args), 1) << numbers[2 % numbers.size()];
    EXPECT_EQ(out.str(), "FAILED: could not render the panel\n");
    EXPECT_FALSE(std::filesystem::exists(file));
  }
}

class PreviewAnimationTest : public PlatformTest {};

TEST_F(PreviewAnimationTest, ThePanelIsPlacedAndDescribedAt1Point2SecondsUnlessTheAnimationIsOff) {
  for (const bool play : {false, true}) {
    quorvel::Settings::shared().setPlayAnimation(play);
    std::ostringstream out;
    std::string atOne, atOnePointThree;
    const double start = now();
    platform::dispatch::mainQueue().asyncAfter(1.1, [&] { atOne = out.str(); });
    platform::dispatch::mainQueue().asyncAfter(1.3, [&] { atOnePointThree = out.str(); });
    EXPECT_EQ(diag::runPreviewAnimation(argv({"--preview-animation"}), out), 0);
    EXPECT_DOUBLE_EQ(now() - start, 10.0);  // it ends after ten seconds
    EXPECT_EQ(atOne, "");
    EXPECT_EQ(atOnePointThree, out.str());
    EXPECT_EQ(quorvel::testing::machine().windows->windowNumbers().empty(), !play);
    if (!play) {
      EXPECT_EQ(out.str(), "nothing placed yet\n");
    } else {
      EXPECT_EQ(out.str(), quorvel::LockScreenOverlay::shared().lastPlacement() + "\n");
      EXPECT_EQ(out.str().rfind("window={{596, 782}, {320, 200}}", 0), 0u) << out.str();
    }
  }
  EXPECT_EQ(simulatedApplication().policyRequests(), (std::vector<std::string>{"accessory", "accessory"}));
}

}  // namespace
