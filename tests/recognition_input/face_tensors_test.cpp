// Model input tensors: layout, normalisation, stretching, the per-side buffer cache, failures.
#include <gtest/gtest.h>

#include <array>
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

// Every value of a channel of a one-colour image, after its engine's normalisation: channels
// red, green, blue whatever the buffer's order, each less its own mean (dlib's differ).
TEST_F(FaceTensorsTest, ChannelsAreRedGreenBlueEachNormalisedByItsEngine) {
  const Normalisation dlib = Normalisation::forEngine(FaceEngineSpec::dlib);
  const float high = 127.5f / 128, low = -127.5f / 128, c = 128;  // 0.5 renders as 128
  const struct {
    Color colour;
    Normalisation normalisation;
    std::array<float, 3> expected;
  } cases[] = {
      {{1, 1, 1, 1}, Normalisation::unit(), {1, 1, 1}},
      {{1, 1, 1, 1}, arcface, {0.99609375f, 0.99609375f, 0.99609375f}},
      {{0, 0, 0, 1}, arcface, {low, low, low}},
      {{1, 0, 0, 1}, Normalisation::unit(), {1, 0, 0}},
      {{1, 0, 0, 1}, arcface, {high, low, low}},
      {{0.5, 0.5, 0.5, 1}, dlib, {(c - 122.782f) / 256, (c - 117.001f) / 256, (c - 104.298f) / 256}},
  };
  for (const auto& t : cases) {
    const auto tensor = FaceTensors::shared().tensor(solid(t.colour), 32, t.normalisation);
    ASSERT_TRUE(tensor);
    ASSERT_EQ(tensor->shape(), (std::vector<std::int64_t>{1, 3, 32, 32}));
    for (std::size_t i = 0; i < tensor->count(); ++i) {
      ASSERT_NEAR((*tensor)[i], t.expected[i / (32 * 32)], 1e-6) << "value " << i << " of " << t.colour.red;
    }
  }
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
// of the tensor is read from its own row of the buffer. Where the image's extent starts does
// not matter.
TEST_F(FaceTensorsTest, PaddedBufferRowsAreSteppedByTheirOwnLengthWhereverTheExtentStarts) {
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
  const auto moved = FaceTensors::shared().tensor(Image::fromPixelBuffer(frame).translatedBy(500, 300), 100,
                                                  Normalisation::unit());
  ASSERT_TRUE(moved);
  EXPECT_EQ(values(*moved), values(*t));
}

TEST_F(FaceTensorsTest, OneBufferPerSideIsMadeOnceAndReused) {
  auto& tensors = FaceTensors::shared();
  const auto white = tensors.tensor(solid({1, 1, 1, 1}), 112, Normalisation::unit());
  const auto buffer = tensors.cachedBuffer(112);
  ASSERT_TRUE(buffer);
  EXPECT_EQ(buffer->width(), 112);
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

// Empty or infinite images, a side of 0, a buffer that cannot be made (not cached, tried
// again) or has no base address: no value, and no log.
TEST_F(FaceTensorsTest, FailuresGiveNoValue) {
  platform::image::faults::failNextPixelBufferCreations(1);
  EXPECT_FALSE(FaceTensors::shared().tensor(solid({1, 1, 1, 1}), 112, arcface));
  EXPECT_EQ(FaceTensors::shared().cachedBufferCount(), 0u);
  EXPECT_TRUE(FaceTensors::shared().tensor(solid({1, 1, 1, 1}), 112, arcface));
  EXPECT_EQ(FaceTensors::shared().cachedBufferCount(), 1u);
  EXPECT_FALSE(FaceTensors::shared().tensor(Image::color({1, 1, 1, 1}), 112, arcface));
  EXPECT_FALSE(FaceTensors::shared().tensor(Image(), 112, arcface));
  EXPECT_FALSE(FaceTensors::shared().tensor(solid({1, 1, 1, 1}), 0, arcface));

  FaceTensors::shared().cachedBuffer(112)->setBaseAddressUnavailable(true);
  EXPECT_FALSE(FaceTensors::shared().tensor(solid({1, 1, 1, 1}), 112, arcface));
  EXPECT_TRUE(FaceTensors::shared().tensor(solid({1, 1, 1, 1}), 128, arcface));
  EXPECT_TRUE(logs().messages().empty());
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
