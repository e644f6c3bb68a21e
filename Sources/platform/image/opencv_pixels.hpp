// Conversion between OpenCV images and pixel buffers, for the platform's own OpenCV users
// (image files, camera frames). Only files under platform/ include this header.
#pragma once

#include <opencv2/core.hpp>

#include <memory>

#include "platform/image/pixel_buffer.hpp"

namespace platform::image {

// A new 32-bit BGRA buffer holding `image` (8 or 16 bits a channel; grey, BGR or BGRA),
// opaque unless the image has alpha; null for an empty image, another channel count, or a
// buffer that cannot be made.
std::shared_ptr<PixelBuffer> pixelBufferFromMat(const cv::Mat& image);

}  // namespace platform::image
