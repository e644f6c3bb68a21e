// Model input tensors: an image rendered at side x side and laid out as a [1, 3, side, side]
// array of 32-bit floats, planar R, G, B, each normalised.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "foundation/recognition_engine.hpp"
#include "platform/image/context.hpp"
#include "platform/image/image.hpp"
#include "platform/image/pixel_buffer.hpp"
#include "platform/ml/ml.hpp"

namespace quorvel {

class FaceTensors {
 public:
  // How a channel value c (0 to 255) becomes a model input.
  struct Normalisation {
    enum class Kind { perChannel, unit };
    Kind kind = Kind::unit;
    RGBMean mean{0, 0, 0};
    float scale = 1;

    // (c - the channel's mean) / scale.
    static Normalisation perChannel(RGBMean mean, float scale) {
      return {Kind::perChannel, mean, scale};
    }
    // c / 255.
    static Normalisation unit() { return {}; }
    // perChannel with the engine's mean and scale.
    static Normalisation forEngine(const FaceEngineSpec& spec) {
      return perChannel(spec.mean, spec.scale);
    }
  };

  FaceTensors();
  static FaceTensors& shared();

  // `image` moved to the origin, stretched to side x side (the aspect ratio is not kept),
  // rendered with the shared context in sRGB and normalised, as a [1, 3, side, side] array:
  // element (channel k, row y, column x) is at k*side*side + y*side + x, channel 0 red,
  // 1 green, 2 blue, row 0 the top row of the rendered image. No value when the image's extent
  // is empty or infinite, or the pixel buffer of that side cannot be made or read.
  // Thread-safe: one lock covers the whole call, because the buffer of a side is reused.
  std::optional<platform::ml::MultiArray> tensor(const platform::image::Image& image,
                                                 int side, const Normalisation& normalisation);

  // The cached pixel buffer of a side, if one was made (for tests and diagnostics).
  std::shared_ptr<platform::image::PixelBuffer> cachedBuffer(int side) const;
  std::size_t cachedBufferCount() const;

 private:
  std::shared_ptr<platform::image::Context> context_;
  platform::image::ColorSpace colorSpace_;
  std::map<int, std::shared_ptr<platform::image::PixelBuffer>> buffers_;
  mutable std::mutex lock_;
};

}  // namespace quorvel
