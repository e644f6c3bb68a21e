// The application side of the native face-descriptor bridge (bridge/dlib_bridge.hpp): loads
// dlib's weight file through the bridge, remembers whether that worked, and turns an aligned
// face image into the 150 x 150 RGB bytes the bridge describes.
//
// Lock order: the facade's lock is taken before the bridge's mutex (a load holds both); an
// embedding releases the facade's lock before it converts the image, so conversions run in
// parallel and only the bridge call itself waits for the network.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/image/context.hpp"
#include "platform/image/image.hpp"

namespace quorvel {

struct NativeDlib {
  NativeDlib() = delete;

  static constexpr int kSide = 150;
  static constexpr std::size_t kInputBytes = 67'500;  // 150 rows x 150 pixels x 3 bytes
  static constexpr std::size_t kDescriptorLength = 128;

  // Loads the weight file at `modelPath` into the bridge (replacing its network when that
  // works). `isLoaded()` becomes the result; a failure is logged on the face logger, and the
  // bridge keeps the network it had.
  static bool load(const std::string& modelPath);
  static bool isLoaded();

  // The 128 values of the face in `image` (not normalised), or no value when nothing is
  // loaded, the image cannot be converted or the bridge fails. The image is stretched to
  // 150 x 150 whatever its size and origin.
  static std::optional<std::vector<float>> embedding(const platform::image::Image& image,
                                                     const platform::image::Context& context);

  // The bytes the bridge is given for `image`: 150 rows from the top, 150 pixels each of
  // red, green, blue, rows packed. No value for an empty or infinite extent or a failed
  // render. (The conversion step of `embedding`, for tests and diagnostics.)
  static std::optional<std::vector<std::uint8_t>> inputBytes(
      const platform::image::Image& image, const platform::image::Context& context);
};

}  // namespace quorvel
