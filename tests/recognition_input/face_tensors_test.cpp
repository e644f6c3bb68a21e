// Model input tensors: layout, normalisation, stretching, the per-side buffer cache, failures.
#include <gtest/gtest.h>

#include <cmath>

#include "recognition/face_aligner.hpp"
#include "recognition/face_tensors.hpp"
#include "recognition_input/image_helpers.hpp"
#include "support/platform_fixture.hpp"
#include "support/recognition_input_hooks.hpp"

namespace quorvel::testing {
namespace {

using platform::Rect;
using platform::image::Color;
using platform::image::Image;
using Normalisation = FaceTensors::Normalisation;

class FaceTensorsTest : public PlatformTest {
 protected:
  static Image solid(const Color& c, double w = 40, double h = 40) {
    return Image::color(c).cropped(Rect(0, 0, w, h));
  }
  static std::vector<float> values(const platform::ml::MultiArray& t) {
    return std::vector<float>(t.data(), t.data() + t.count());
  }
  static float at(const platform::ml::MultiArray& t, int side, int channel, int y, int x) {
    return t[static_cast<std::size_t>(channel) * side * side + y * side + x];
  }
  const Normalisation arcface = Normalisation::forEngine(FaceEngineSpec::arcface);
};

TEST_F(FaceTensorsTest, WhiteIsOneOrJustUnderOne) {
  const auto unit = FaceTensors::shared().tensor(solid({1, 1, 1, 1}), 112, Normalisation::unit());
  ASSERT_TRUE(unit);
  EXPECT_EQ(unit->shape(), (std::vector<std::int64_t>{1, 3, 112, 112}));
  ASSERT_EQ(unit->count(), 3u * 112 * 112);
  for (float v : values(*unit)) ASSERT_EQ(v, 1.0f);

  const auto centred = FaceTensors::shared().tensor(solid({1, 1, 1, 1}), 112, arcface);
  ASSERT_TRUE(centred);
  for (float v : values(*centred)) ASSERT_FLOAT_EQ(v, 0.99609375f);

  const auto black = FaceTensors::shared().tensor(solid({0, 0, 0, 1}), 64, arcface);
  ASSERT_TRUE(black);
  for (float v : values(*black)) ASSERT_FLOAT_EQ(v, -127.5f / 128);
}

TEST_F(FaceTensorsTest, ChannelsAreRedGreenBlueWhateverTheBufferOrder) {
  for (const Normalisation& n : {Normalisation::unit(), arcface}) {
    const auto red = FaceTensors::shared().tensor(solid({1, 0, 0, 1}), 32, n);
    ASSERT_TRUE(red);
    const float high = n.kind == Normalisation::Kind::unit ? 1.0f : 127.5f / 128;
    const float low = n.kind == Normalisation::Kind::unit ? 0.0f : -127.5f / 128;
    for (int y = 0; y < 32; y += 7) {
      for (int x = 0; x < 32; x += 5) {
        EXPECT_FLOAT_EQ(at(*red, 32, 0, y, x), high);
        EXPECT_FLOAT_EQ(at(*red, 32, 1, y, x), low);
        EXPECT_FLOAT_EQ(at(*red, 32, 2, y, x), low);
      }
    }
  }
  // Each channel subtracts its own mean: the dlib means differ per channel.
  const auto grey = FaceTensors::shared().tensor(solid({0.5, 0.5, 0.5, 1}), 8,
                                                 Normalisation::forEngine(FaceEngineSpec::dlib));
  ASSERT_TRUE(grey);
  const float c = 128;  // 0.5 renders as 128
  EXPECT_NEAR(at(*grey, 8, 0, 0, 0), (c - 122.782f) / 256, 1e-6);
  EXPECT_NEAR(at(*grey, 8, 1, 0, 0), (c - 117.001f) / 256, 1e-6);
  EXPECT_NEAR(at(*grey, 8, 2, 0, 0), (c - 104.298f) / 256, 1e-6);
}

// A 200 x 100 image at side 128 is stretched: its left half fills columns 0 to 63 of every
// row; and row 0 is the top of the image.
TEST_F(FaceTensorsTest, ImagesAreStretchedToTheSquareTopRowFirst) {
  auto frame = makeBuffer(200, 100, [](int x, int y) {
    if (y < 10) return BGRA{0, 255, 0, 255};                    // a green band at the top
    return x < 100 ? BGRA{0, 0, 255, 255} : BGRA{255, 0, 0, 255};  // red left, blue right
  });
  const auto t = FaceTensors::shared().tensor(Image::fromPixelBuffer(frame), 128, Normalisation::unit());
  ASSERT_TRUE(t);
  for (int y = 16; y < 128; ++y) {
    for (int x = 0; x < 128; ++x) {
      const bool left = x < 64;
      ASSERT_NEAR(at(*t, 128, 0, y, x), left ? 1.0f : 0.0f, x == 63 || x == 64 ? 0.6 : 0.02) << y << "," << x;
      ASSERT_NEAR(at(*t, 128, 2, y, x), left ? 0.0f : 1.0f, x == 63 || x == 64 ? 0.6 : 0.02) << y << "," << x;
    }
  }
  // The band: 10 of 100 rows, 12.8 of 128.
  EXPECT_NEAR(at(*t, 128, 1, 0, 10), 1.0f, 0.02);
  EXPECT_NEAR(at(*t, 128, 1, 11, 100), 1.0f, 0.02);
  EXPECT_NEAR(at(*t, 128, 1, 14, 100), 0.0f, 0.02);
}

// At side 100 the buffer's rows are padded (400 bytes of pixels in rows of 448): every row
// of the tensor is read from its own row of the buffer.
TEST_F(FaceTensorsTest, PaddedBufferRowsAreSteppedByTheirOwnLength) {
  auto frame = makeBuffer(100, 100, [](int x, int y) {
    return BGRA{std::uint8_t(2 * x), std::uint8_t(255 - 2 * y), std::uint8_t(2 * y), 255};
  });
  const auto t = FaceTensors::shared().tensor(Image::fromPixelBuffer(frame), 100, Normalisation::unit());
  ASSERT_TRUE(t);
  ASSERT_GT(FaceTensors::shared().cachedBuffer(100)->bytesPerRow(), 400u);
  for (int y = 0; y < 100; y += 9) {
    for (int x = 0; x < 100; x += 11) {
      ASSERT_FLOAT_EQ(at(*t, 100, 0, y, x), 2 * y / 255.0f) << x << "," << y;
      ASSERT_FLOAT_EQ(at(*t, 100, 1, y, x), (255 - 2 * y) / 255.0f) << x << "," << y;
      ASSERT_FLOAT_EQ(at(*t, 100, 2, y, x), 2 * x / 255.0f) << x << "," << y;
    }
  }
}

TEST_F(FaceTensorsTest, TheExtentOriginDoesNotMatter) {
  auto frame = makeBuffer(50, 40, [](int x, int y) { return BGRA{std::uint8_t(3 * x), std::uint8_t(5 * y), 77, 255}; });
  const Image atOrigin = Image::fromPixelBuffer(frame);
  const Image moved = atOrigin.translatedBy(500, 300);
  EXPECT_EQ(moved.extent().origin, (platform::Point{500, 300}));
  const auto a = FaceTensors::shared().tensor(atOrigin, 64, arcface);
  const auto b = FaceTensors::shared().tensor(moved, 64, arcface);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(values(*a), values(*b));
}

TEST_F(FaceTensorsTest, EmptyOrInfiniteImagesGiveNoValue) {
  EXPECT_FALSE(FaceTensors::shared().tensor(Image::color({1, 1, 1, 1}), 112, arcface));
  EXPECT_FALSE(FaceTensors::shared().tensor(Image(), 112, arcface));
  EXPECT_FALSE(FaceTensors::shared().tensor(solid({1, 1, 1, 1}), 0, arcface));
  EXPECT_TRUE(logs().messages().empty());
}

TEST_F(FaceTensorsTest, OneBufferPerSideIsMadeOnceAndReused) {
  auto& tensors = FaceTensors::shared();
  const auto white = tensors.tensor(solid({1, 1, 1, 1}), 112, Normalisation::unit());
  const auto buffer = tensors.cachedBuffer(112);
  ASSERT_TRUE(buffer);
  EXPECT_EQ(buffer->width(), 112);
  EXPECT_TRUE(buffer->attributes().cgImageCompatible);
  EXPECT_TRUE(buffer->attributes().cgBitmapContextCompatible);
  const auto black = tensors.tensor(solid({0, 0, 0, 1}), 112, Normalisation::unit());
  EXPECT_EQ(tensors.cachedBuffer(112), buffer);
  EXPECT_EQ(tensors.cachedBufferCount(), 1u);
  tensors.tensor(solid({0, 0, 0, 1}), 128, Normalisation::unit());
  EXPECT_EQ(tensors.cachedBufferCount(), 2u);
  EXPECT_NE(tensors.cachedBuffer(128), buffer);
  // A returned tensor is its own: the later render into the same buffer left it alone.
  ASSERT_TRUE(white && black);
  EXPECT_EQ((*white)[0], 1.0f);
  EXPECT_EQ((*black)[0], 0.0f);
}

TEST_F(FaceTensorsTest, ABufferThatCannotBeMadeIsNotCachedAndIsTriedAgain) {
  platform::image::faults::failNextPixelBufferCreations(1);
  EXPECT_FALSE(FaceTensors::shared().tensor(solid({1, 1, 1, 1}), 112, arcface));
  EXPECT_EQ(FaceTensors::shared().cachedBufferCount(), 0u);
  EXPECT_TRUE(FaceTensors::shared().tensor(solid({1, 1, 1, 1}), 112, arcface));
  EXPECT_EQ(FaceTensors::shared().cachedBufferCount(), 1u);
}

TEST_F(FaceTensorsTest, ABufferWithoutABaseAddressGivesNoValue) {
  ASSERT_TRUE(FaceTensors::shared().tensor(solid({1, 1, 1, 1}), 112, arcface));
  FaceTensors::shared().cachedBuffer(112)->setBaseAddressUnavailable(true);
  EXPECT_FALSE(FaceTensors::shared().tensor(solid({1, 1, 1, 1}), 112, arcface));
  EXPECT_TRUE(FaceTensors::shared().tensor(solid({1, 1, 1, 1}), 128, arcface));
  EXPECT_TRUE(logs().messages().empty());
}

// The whole road on a generated frame: wide square -> 128 unit tensor, as for liveness.
TEST_F(FaceTensorsTest, TheWideSquareOfAFrameBecomesALivenessInput) {
  auto frame = makeBuffer(320, 180, [](int x, int) { return x < 70 || x >= 250 ? BGRA{0, 0, 0, 255} : BGRA{255, 255, 255, 255}; });
  const auto square = FaceAligner::shared().wideSquare(frame);
  ASSERT_TRUE(square);
  const auto t = FaceTensors::shared().tensor(*square, 128, Normalisation::unit());
  ASSERT_TRUE(t);
  // The centred square (columns 70 to 249) is white from edge to edge.
  EXPECT_NEAR(at(*t, 128, 0, 64, 1), 1.0f, 0.02);
  EXPECT_NEAR(at(*t, 128, 2, 64, 126), 1.0f, 0.02);
}

// Tensors render with the aligner's high-quality context: a 720-pixel square of one-pixel
// stripes shrunk to 128 becomes an even grey, not a pattern of its own.
TEST_F(FaceTensorsTest, ShrinkingAveragesInsteadOfAliasing) {
  auto stripes = makeBuffer(1280, 720, [](int x, int y) {
    const std::uint8_t v = ((x + y / 3) % 2) ? 255 : 0;
    return BGRA{v, v, v, 255};
  });
  const auto square = FaceAligner::shared().wideSquare(stripes);
  ASSERT_TRUE(square);
  const auto t = FaceTensors::shared().tensor(*square, 128, Normalisation::unit());
  ASSERT_TRUE(t);
  double sum = 0, squares = 0;
  for (std::size_t i = 0; i < t->count(); ++i) {
    const float v = (*t)[i];
    sum += v;
    squares += double(v) * v;
  }
  const double n = double(t->count());
  const double mean = sum / n;
  EXPECT_NEAR(mean, 0.5, 0.03);
  EXPECT_LT(std::sqrt(squares / n - mean * mean), 0.03);
}

}  // namespace
}  // namespace quorvel::testing
