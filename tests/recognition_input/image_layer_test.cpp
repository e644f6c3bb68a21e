// The image layer: pixel buffers, recipes in the bottom-left plane, rendering and files.
#include <gtest/gtest.h>

#include <cmath>
#include <numeric>

#include "platform/image/context.hpp"
#include "platform/image/image.hpp"
#include "platform/image/image_io.hpp"
#include "recognition_input/image_helpers.hpp"
#include "support/platform_fixture.hpp"
#include "support/recognition_input_hooks.hpp"

namespace quorvel::testing {
namespace {

using platform::AffineTransform;
using platform::Rect;
using namespace platform::image;

class ImageLayerTest : public PlatformTest {
 protected:
  Context context{ContextOptions{.highQualityDownsample = true}};
};

constexpr BGRA kRed{0, 0, 255, 255}, kBlue{255, 0, 0, 255}, kGreen{0, 255, 0, 255};

TEST_F(ImageLayerTest, PixelBuffersPadRowsAndLendBytesOnlyWhileLocked) {
  auto buffer = PixelBuffer::create(150, 150);
  ASSERT_TRUE(buffer);
  EXPECT_EQ(buffer->bytesPerRow(), 640u);  // 600 bytes padded to 64
  EXPECT_EQ(buffer->baseAddress(), nullptr);
  ASSERT_TRUE(buffer->lockBaseAddress(LockFlags::readOnly));
  EXPECT_NE(buffer->baseAddress(), nullptr);
  EXPECT_EQ(buffer->mutableBaseAddress(), nullptr);
  buffer->unlockBaseAddress(LockFlags::readOnly);
  EXPECT_EQ(buffer->baseAddress(), nullptr);

  EXPECT_FALSE(PixelBuffer::create(0, 10));
  EXPECT_FALSE(PixelBuffer::create(10, -1));
  auto yuv = PixelBuffer::create(64, 48, kPixelFormat420YpCbCr8BiPlanarVideoRange);
  ASSERT_TRUE(yuv);
  EXPECT_FALSE(yuv->lockBaseAddress(LockFlags::readOnly));

  faults::failNextPixelBufferCreations(2);
  EXPECT_FALSE(PixelBuffer::create(8, 8));
  EXPECT_FALSE(PixelBuffer::create(8, 8));
  EXPECT_TRUE(PixelBuffer::create(8, 8));

  buffer->setBaseAddressUnavailable(true);
  EXPECT_FALSE(buffer->lockBaseAddress(LockFlags::readOnly));
}

// The top stored row is the top of the image plane: y near the height.
TEST_F(ImageLayerTest, ThePlaneHasItsOriginAtTheBottomLeft) {
  auto frame = makeBuffer(40, 20, [](int x, int y) { return y < 10 ? kRed : (x < 20 ? kBlue : kGreen); });
  const Image image = Image::fromPixelBuffer(frame);
  EXPECT_EQ(image.extent(), Rect(0, 0, 40, 20));

  // The upper half of the plane is the red top rows.
  auto top = context.renderBitmap(image.cropped(Rect(0, 10, 40, 10)).translatedBy(0, -10),
                                  Rect(0, 0, 40, 10), BitmapFormat::BGRA8);
  ASSERT_TRUE(top);
  for (int y = 0; y < 10; ++y) {
    for (int x = 0; x < 40; ++x) ASSERT_EQ(top->pixel(x, y)[2], 255) << x << "," << y;
  }
  // Bounds select a part of the plane: the bottom-right quarter is green.
  auto corner = context.renderBitmap(image, Rect(20, 0, 20, 10), BitmapFormat::RGB8);
  ASSERT_TRUE(corner);
  EXPECT_EQ(corner->pixel(0, 0)[1], 255);
  EXPECT_EQ(corner->pixel(19, 9)[1], 255);
  EXPECT_EQ(corner->pixel(19, 9)[0], 0);
}

TEST_F(ImageLayerTest, TransformsMovePixelsUpAndRightInThePlane) {
  auto frame = makeBuffer(30, 30, [](int x, int y) { return x == 5 && y == 20 ? kRed : BGRA{0, 0, 0, 255}; });
  // Pixel (5, row 20) has its centre at (5.5, 9.5); moved by (10, 4) it is at (15.5, 13.5),
  // which is row 30 - 13.5 - 0.5 = 16 from the top.
  auto moved = PixelBuffer::create(30, 30);
  ASSERT_TRUE(context.render(Image::fromPixelBuffer(frame).translatedBy(10, 4), *moved,
                             Rect(0, 0, 30, 30), ColorSpace::sRGB()));
  EXPECT_EQ(pixelAt(*moved, 15, 16), kRed);
  EXPECT_EQ(pixelAt(*moved, 5, 20)[2], 0);
  // The strip the image left behind is transparent black.
  EXPECT_EQ(pixelAt(*moved, 2, 2), (BGRA{0, 0, 0, 0}));

  // A rotation by 90 degrees about the origin sends (x, y) to (-y, x).
  const Image turned = Image::fromPixelBuffer(frame).transformed(AffineTransform::rotation(M_PI / 2));
  EXPECT_NEAR(turned.extent().minX(), -30, 1e-9);
  EXPECT_NEAR(turned.extent().width(), 30, 1e-9);
  auto rotated = context.renderBitmap(turned, Rect(-30, 0, 30, 30), BitmapFormat::BGRA8);
  ASSERT_TRUE(rotated);
  // (5.5, 9.5) -> (-9.5, 5.5): column 20, row 24.
  EXPECT_EQ(rotated->pixel(20, 24)[2], 255);
}

TEST_F(ImageLayerTest, ExtentsFollowCropsTransformsAndColours) {
  const Image colour = Image::color({1, 0, 0, 1});
  EXPECT_TRUE(colour.extent().isInfinite());
  EXPECT_TRUE(colour.scaledBy(2, 2).extent().isInfinite());
  EXPECT_EQ(colour.cropped(Rect(5, 6, 7, 8)).extent(), Rect(5, 6, 7, 8));

  auto frame = makeBuffer(10, 10, [](int, int) { return kBlue; });
  const Image image = Image::fromPixelBuffer(frame);
  EXPECT_EQ(image.cropped(Rect(5, 5, 10, 10)).extent(), Rect(5, 5, 5, 5));
  EXPECT_TRUE(image.cropped(Rect(20, 20, 5, 5)).isEmpty());
  EXPECT_EQ(image.scaledBy(2, 3).extent(), Rect(0, 0, 20, 30));
  EXPECT_TRUE(Image::fromPixelBuffer(nullptr).isEmpty());

  // A crop made before a transform moves with it.
  auto bitmap = context.renderBitmap(colour.cropped(Rect(0, 0, 2, 2)).translatedBy(3, 0),
                                     Rect(0, 0, 6, 2), BitmapFormat::RGBA8);
  ASSERT_TRUE(bitmap);
  EXPECT_EQ(bitmap->pixel(2, 0)[3], 0);
  EXPECT_EQ(bitmap->pixel(3, 0)[0], 255);
  EXPECT_EQ(bitmap->pixel(4, 1)[0], 255);
  EXPECT_EQ(bitmap->pixel(5, 1)[3], 0);
}

// A composite draws its image over the background (premultiplied source over) through the
// transforms above it; its extent is the union of both.
TEST_F(ImageLayerTest, CompositesDrawOverTheirBackground) {
  auto frame = makeBuffer(4, 4, [](int, int) { return kRed; });
  const Image square = Image::color({0, 0, 1, 1}).cropped(Rect(0, 0, 8, 8));
  const Image both = Image::fromPixelBuffer(frame).translatedBy(2, 2).composited(square);
  EXPECT_EQ(both.extent(), Rect(0, 0, 8, 8));
  EXPECT_EQ(Image().composited(square).extent(), square.extent());
  // Scaled by 2 after compositing: the red lands at 4...12 of a 16-pixel square.
  auto out = context.renderBitmap(both.scaledBy(2, 2), Rect(0, 0, 16, 16), BitmapFormat::RGBA8);
  ASSERT_TRUE(out);
  EXPECT_EQ(out->pixel(8, 8)[0], 255);
  EXPECT_EQ(out->pixel(8, 8)[2], 0);
  EXPECT_EQ(out->pixel(1, 1)[2], 255);
  EXPECT_EQ(out->pixel(1, 1)[3], 255);
  // Half-transparent red over blue.
  auto half = context.renderBitmap(Image::color({1, 0, 0, 0.5}).composited(square), Rect(0, 0, 1, 1),
                                   BitmapFormat::RGBA8);
  ASSERT_TRUE(half);
  EXPECT_NEAR(half->pixel(0, 0)[0], 128, 1);
  EXPECT_NEAR(half->pixel(0, 0)[2], 127, 1);
  EXPECT_EQ(half->pixel(0, 0)[3], 255);
}

TEST_F(ImageLayerTest, ColourControlsAdjustSaturationContrastAndBrightness) {
  const Image grey = Image::color({128 / 255.0, 128 / 255.0, 128 / 255.0, 1});
  ColorControlsFilter filter;
  EXPECT_FALSE(filter.outputImage());
  filter.setInputImage(grey);
  filter.setBrightness(0.05f);
  filter.setContrast(1.1f);
  auto out = context.renderBitmap(*filter.outputImage(), Rect(0, 0, 1, 1), BitmapFormat::RGB8);
  ASSERT_TRUE(out);
  // In linear light: level 128 is 0.2158, adjusted to 0.2374, which is level 134.
  EXPECT_EQ(out->pixel(0, 0)[0], 134);

  // Without alpha, a half-transparent colour is drawn over black.
  auto rgbx = context.renderBitmap(Image::color({1, 0.5, 0, 0.5}), Rect(0, 0, 2, 1), BitmapFormat::RGBX8);
  ASSERT_TRUE(rgbx);
  EXPECT_EQ(rgbx->bytesPerRow, 8u);
  EXPECT_NEAR(rgbx->pixel(1, 0)[0], 128, 1);
  EXPECT_NEAR(rgbx->pixel(1, 0)[1], 64, 1);
  EXPECT_EQ(rgbx->pixel(1, 0)[2], 0);
  EXPECT_EQ(rgbx->pixel(1, 0)[3], 255);

  // No saturation: the luminance of pure red (0.2126 in linear light, level 127).
  auto red = context.renderBitmap(Image::color({1, 0, 0, 1}).applyingColorControls({0, 1, 0}),
                                  Rect(0, 0, 1, 1), BitmapFormat::RGB8);
  ASSERT_TRUE(red);
  EXPECT_EQ(red->pixel(0, 0)[0], 127);
  EXPECT_EQ(red->pixel(0, 0)[0], red->pixel(0, 0)[2]);
  // Results clamp.
  auto bright = context.renderBitmap(Image::color({0.9, 0.9, 0.9, 1}).applyingColorControls({0.5, 1, 1}),
                                     Rect(0, 0, 1, 1), BitmapFormat::RGB8);
  EXPECT_EQ(bright->pixel(0, 0)[1], 255);
}

double deviation(const Bitmap& bitmap) {
  std::vector<double> values;
  for (int y = 0; y < bitmap.height; ++y) {
    for (int x = 0; x < bitmap.width; ++x) values.push_back(bitmap.pixel(x, y)[0]);
  }
  const double mean = std::accumulate(values.begin(), values.end(), 0.0) / values.size();
  double sum = 0;
  for (double v : values) sum += (v - mean) * (v - mean);
  return std::sqrt(sum / values.size());
}

// One-pixel stripes shrunk from 1280 x 720 to 150 x 150 must come out as an even grey, not as
// a pattern of their own; a context without high-quality downsampling aliases.
TEST_F(ImageLayerTest, HighQualityDownsamplingDoesNotAlias) {
  auto stripes = makeBuffer(1280, 720, [](int x, int y) {
    const std::uint8_t v = ((x + y / 3) % 2) ? 255 : 0;
    return BGRA{v, v, v, 255};
  });
  const Image shrunk = Image::fromPixelBuffer(stripes).scaledBy(150.0 / 1280, 150.0 / 720);
  auto good = context.renderBitmap(shrunk, Rect(0, 0, 150, 150), BitmapFormat::RGB8);
  auto plain = Context().renderBitmap(shrunk, Rect(0, 0, 150, 150), BitmapFormat::RGB8);
  ASSERT_TRUE(good && plain);
  EXPECT_LT(deviation(*good), 8.0);
  EXPECT_NEAR(good->pixel(75, 75)[0], 127.5, 10);
  EXPECT_GT(deviation(*plain), 30.0);
}

TEST_F(ImageLayerTest, RenderingRefusesBadTargets) {
  const Image colour = Image::color({0, 1, 0, 1});
  auto buffer = makeBuffer(8, 8, [](int, int) { return kRed; });
  EXPECT_FALSE(context.render(colour, *buffer, Rect(0, 0, 9, 8), ColorSpace::sRGB()));
  EXPECT_FALSE(context.render(colour, *buffer, Rect(0, 0, 7.5, 8), ColorSpace::sRGB()));
  EXPECT_FALSE(context.render(colour, *buffer, Rect::infinite(), ColorSpace::sRGB()));
  EXPECT_FALSE(context.render(colour, *buffer, Rect::null(), ColorSpace::sRGB()));
  EXPECT_FALSE(ColorSpace::named("kCGColorSpaceDisplayP3"));
  EXPECT_EQ(pixelAt(*buffer, 0, 0), kRed);  // untouched
  EXPECT_FALSE(context.renderBitmap(colour, Rect(0, 0, 0, 4), BitmapFormat::RGB8));

  // A smaller rectangle lands in the bottom-left corner.
  ASSERT_TRUE(context.render(colour, *buffer, Rect(0, 0, 4, 4), ColorSpace::sRGB()));
  EXPECT_EQ(pixelAt(*buffer, 0, 7), kGreen);
  EXPECT_EQ(pixelAt(*buffer, 0, 0), kRed);
}

// The warp cannot take 32767 pixels or more a side: such renders fail instead of throwing.
TEST_F(ImageLayerTest, RendersTooWideToWarpFailWithoutThrowing) {
  auto wide = PixelBuffer::create(32767, 2);
  ASSERT_TRUE(wide);
  const Image image = Image::fromPixelBuffer(wide).translatedBy(0.5, 0);
  EXPECT_FALSE(context.render(image, *wide, Rect(0, 0, 32767, 2), ColorSpace::sRGB()));
  EXPECT_FALSE(context.renderBitmap(image, Rect(0, 0, 32767, 2), BitmapFormat::RGB8));
  // Read at full resolution by a context that does not shrink first.
  EXPECT_FALSE(Context().renderBitmap(image.scaledBy(0.5, 1), Rect(0, 0, 16400, 2), BitmapFormat::RGB8));
  // One pixel narrower still renders; a shrinking context reduces the wide source first.
  auto narrower = PixelBuffer::create(32766, 2);
  ASSERT_TRUE(narrower);
  EXPECT_TRUE(context.render(Image::fromPixelBuffer(narrower), *narrower, Rect(0, 0, 32766, 2),
                             ColorSpace::sRGB()));
  EXPECT_TRUE(context.renderBitmap(image.scaledBy(0.5, 1), Rect(0, 0, 16400, 2), BitmapFormat::RGB8));
}

TEST_F(ImageLayerTest, FilesRoundTripThroughPNG) {
  auto photo = examplePhoto("faces/dogs.jpg");
  ASSERT_TRUE(photo);
  EXPECT_GT(photo->width(), 100);
  EXPECT_EQ(pixelAt(*photo, 10, 10)[3], 255);

  auto pattern = makeBuffer(33, 17, [](int x, int y) {
    return BGRA{std::uint8_t(x * 7), std::uint8_t(y * 13), std::uint8_t(x + y), 255};
  });
  const std::string path = home() + "/pattern.png";
  ASSERT_TRUE(writePNG(*pattern, path));
  auto back = readImageFile(path);
  ASSERT_TRUE(back);
  ASSERT_EQ(back->width(), 33);
  ASSERT_EQ(back->height(), 17);
  for (int y = 0; y < 17; ++y) {
    for (int x = 0; x < 33; ++x) ASSERT_EQ(pixelAt(*back, x, y), pixelAt(*pattern, x, y));
  }
  auto bitmap = context.renderBitmap(Image::fromPixelBuffer(pattern), Rect(0, 0, 33, 17), BitmapFormat::RGB8);
  ASSERT_TRUE(writePNG(*bitmap, home() + "/bitmap.png"));
  auto again = readImageFile(home() + "/bitmap.png");
  ASSERT_TRUE(again);
  EXPECT_EQ(pixelAt(*again, 5, 3), pixelAt(*pattern, 5, 3));

  EXPECT_FALSE(readImageFile(home() + "/missing.png"));
  // Only PNG and JPEG files are decoded.
  EXPECT_FALSE(readImageFile(QUORVEL_SOURCE_DIR "/fuzz/corpus/image_file/colour.bmp"));
  EXPECT_FALSE(writePNG(*pattern, home() + "/no/such/folder/x.png"));
}

}  // namespace
}  // namespace quorvel::testing
