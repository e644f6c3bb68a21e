// Reading and writing image files.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/image/context.hpp"
#include "platform/image/pixel_buffer.hpp"

namespace platform::image {

// Decodes a PNG or JPEG file into a new 32-bit BGRA buffer, opaque unless the file has alpha;
// null when the file is missing, of another kind, larger than 32 megapixels (2^25 pixels) or
// cannot be decoded.
std::shared_ptr<PixelBuffer> readImageFile(const std::string& path);

// Writes a PNG file; false when the buffer cannot be read or the file cannot be written.
// Pixels are written as stored (alpha straight from the buffer).
bool writePNG(PixelBuffer& buffer, const std::string& path);
bool writePNG(const Bitmap& bitmap, const std::string& path);

// Decodes a PNG or JPEG file into a bitmap at its natural size, RGBA8 with premultiplied alpha
// (opaque unless the file has alpha); no value when readImageFile would give none. Makes no
// pixel buffer.
std::optional<Bitmap> readImageBitmap(const std::string& path);

// The bitmap encoded as PNG (alpha unpremultiplied); no value when it cannot be encoded.
std::optional<std::vector<std::uint8_t>> encodePNG(const Bitmap& bitmap);

}  // namespace platform::image
