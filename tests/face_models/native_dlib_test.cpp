// The native dlib facade: its loaded flag against the bridge's network, and the conversion of
// an aligned face image into the bridge's 150 x 150 RGB bytes (the bridge's own tests pin the
// descriptors of those bytes).
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "platform/image/context.hpp"
#include "platform/image/image.hpp"
#include "recognition/bridge/dlib_bridge.hpp"
#include "recognition/face_aligner.hpp"
#include "recognition/native_dlib.hpp"
#include "recognition_input/image_helpers.hpp"
#include "support/face_models_hooks.hpp"
#include "support/platform_fixture.hpp"

namespace quorvel::testing {
namespace {

using platform::Rect;
using platform::image::Image;

class NativeDlibTest : public PlatformTest {
 protected:
  const platform::image::Context& context() { return *FaceAligner::shared().ciContext(); }

  // The bridge tests' gradient: its pixel (row r from the top, column c) is the colour
  // (r*255/149, c*255/149, (r+c)*255/298), here in the buffer's order B, G, R.
  static BGRA gradientPixel(int c, int r) {
    return BGRA{std::uint8_t((r + c) * 255 / 298), std::uint8_t(c * 255 / 149), std::uint8_t(r * 255 / 149), 255};
  }
  static Image gradient() { return Image::fromPixelBuffer(makeBuffer(150, 150, gradientPixel)); }
  // The gradient as the bridge takes it: R, G, B, top row first.
  static std::vector<std::uint8_t> gradientBytes() {
    std::vector<std::uint8_t> bytes;
    for (int r = 0; r < 150; ++r) {
      for (int c = 0; c < 150; ++c) {
        const BGRA p = gradientPixel(c, r);
        bytes.insert(bytes.end(), {p[2], p[1], p[0]});
      }
    }
    return bytes;
  }
};

// The facade describes through the bridge's network while its own flag says loaded; a failed
// load clears the flag and is logged, while the bridge keeps the network it had.
TEST_F(NativeDlibTest, DescribesWithTheBridgesNetworkOnlyWhileLoaded) {
  EXPECT_FALSE(NativeDlib::isLoaded());
  EXPECT_FALSE(NativeDlib::embedding(gradient(), context()));
  EXPECT_FALSE(NativeDlib::load("/no/such/weights.dat"));
  EXPECT_FALSE(NativeDlib::isLoaded());
  expectSingleLog(platform::log::Level::Error, "face", "NativeDlib: failed to load model at /no/such/weights.dat");

  ASSERT_TRUE(NativeDlib::load(dlibWeightsPath()));
  EXPECT_TRUE(NativeDlib::isLoaded());
  const auto first = NativeDlib::embedding(gradient(), context());
  ASSERT_TRUE(first);
  // The descriptor of the image's bytes, the same again for the same image.
  std::vector<float> direct(128, -1.0f);
  EXPECT_EQ(dlib_bridge_embed(gradientBytes().data(), direct.data()), 1);
  EXPECT_EQ(direct, *first);
  EXPECT_EQ(NativeDlib::embedding(gradient(), context()), first);
  // Images without a finite area give no value.
  EXPECT_FALSE(NativeDlib::embedding(Image::color({1, 0, 0, 1}), context()));
  EXPECT_FALSE(NativeDlib::embedding(Image(), context()));
  EXPECT_FALSE(NativeDlib::embedding(Image::color({1, 0, 0, 1}).cropped(Rect(0, 0, 150, 0)), context()));
  EXPECT_FALSE(NativeDlib::inputBytes(Image::color({1, 0, 0, 1}), context()));
  // (A failed load after a good one clears the flag: the model host's tests.)
  EXPECT_EQ(logs().entries().size(), 1u);
}

// Images arrive at the bridge as 150 x 150 RGB bytes, top row first, red first, wherever the
// image's extent starts; a 300 square is scaled down by half.
TEST_F(NativeDlibTest, ImagesBecomeTheBridgesBytes) {
  EXPECT_EQ(NativeDlib::inputBytes(gradient(), context()), gradientBytes());
  EXPECT_EQ(NativeDlib::inputBytes(gradient().translatedBy(500, 300), context()), gradientBytes());
  // Every 2 x 2 block of the large image is one pixel of the gradient: halving it gives the
  // gradient back exactly.
  const Image large =
      Image::fromPixelBuffer(makeBuffer(300, 300, [](int x, int y) { return gradientPixel(x / 2, y / 2); }));
  EXPECT_EQ(NativeDlib::inputBytes(large, context()), gradientBytes());
}

TEST_F(NativeDlibTest, A150By100ImageIsStretchedTo150Rows) {
  // Columns carry green, rows carry red; the top half of the rows is dark, the bottom light.
  const Image wide = Image::fromPixelBuffer(makeBuffer(150, 100, [](int x, int y) {
    return BGRA{0, std::uint8_t(x), std::uint8_t(y < 50 ? 20 : 220), 255};
  }));
  const auto bytes = NativeDlib::inputBytes(wide, context());
  ASSERT_TRUE(bytes);
  auto at = [&](int row, int column, int channel) {
    return (*bytes)[static_cast<std::size_t>(row * 150 + column) * 3 + channel];
  };
  for (int row = 0; row < 150; ++row) {
    for (int column = 0; column < 150; ++column) {
      ASSERT_EQ(at(row, column, 1), column) << row;  // no horizontal change
      ASSERT_EQ(at(row, column, 2), 0);
    }
  }
  // 50 source rows each become 75 rows; only the rows at the seam may blend.
  EXPECT_EQ(at(0, 0, 0), 20);
  EXPECT_EQ(at(149, 0, 0), 220);
  EXPECT_EQ(at(73, 0, 0), 20);
  EXPECT_EQ(at(76, 0, 0), 220);
}

}  // namespace
}  // namespace quorvel::testing
