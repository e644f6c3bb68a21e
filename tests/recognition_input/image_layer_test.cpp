// The image layer: pixel buffers, recipes in the bottom-left plane, rendering and files. (The
// plane's orientation, its half-pixel conventions, compositing and colour controls are pinned
// by the aligner's, tensors' and dlib facade's tests, which read the rendered pixels.)
#include <gtest/gtest.h>

#include "platform/image/context.hpp"
#include "platform/image/image.hpp"
#include "platform/image/image_io.hpp"
#include "recognition_input/image_helpers.hpp"
#include "support/platform_fixture.hpp"
#include "support/recognition_input_hooks.hpp"

namespace quorvel::testing {
namespace {

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
  // (The buffers' injected faults are pinned by the tensors' tests, which rely on them.)
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
