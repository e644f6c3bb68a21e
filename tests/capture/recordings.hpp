// Recordings made from dlib's example photos, for the Linux capture system, and telling
// which photo a delivered frame shows.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/capture/linux_capture.hpp"
#include "platform/image/context.hpp"
#include "platform/image/image.hpp"
#include "platform/image/image_io.hpp"
#include "support/recognition_input_hooks.hpp"

namespace quorvel::testing {

using Frame = std::shared_ptr<platform::image::PixelBuffer>;

// The photo at `path` enlarged `scale` times in the middle of a width x height frame, then
// transformed by `t` (image coordinates, y up) about the frame's centre.
inline Frame placedPhoto(const std::string& path, int width, int height, double scale,
                         const platform::AffineTransform& t = {}) {
  const auto photo = platform::image::readImageFile(path);
  EXPECT_TRUE(photo) << path << " cannot be read: run scripts/setup (package libdlib19.1)";
  if (!photo) return nullptr;
  const double cx = width / 2.0, cy = height / 2.0;
  const auto image = platform::image::Image::fromPixelBuffer(photo)
                         .scaledBy(scale, scale)
                         .translatedBy(cx - photo->width() * scale / 2, cy - photo->height() * scale / 2)
                         .translatedBy(-cx, -cy)
                         .transformed(t)
                         .translatedBy(cx, cy);
  auto frame = platform::image::PixelBuffer::create(width, height);
  platform::image::Context({.highQualityDownsample = true})
      .render(image, *frame, platform::Rect(0, 0, width, height), platform::image::ColorSpace::sRGB());
  return frame;
}

// Writes the frames as a numbered PNG sequence in `folder`; returns its pattern.
inline std::string writeSequence(const std::vector<Frame>& frames, const std::string& folder) {
  for (std::size_t i = 0; i < frames.size(); ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/frame%03zu.png", i);
    EXPECT_TRUE(platform::image::writePNG(*frames[i], folder + name));
  }
  return folder + "/frame%03d.png";
}

// Writes the frames as an MJPEG AVI; returns its path.
inline std::string writeVideo(const std::vector<Frame>& frames, double fps, const std::string& path) {
  std::string error;
  EXPECT_TRUE(platform::capture::writeRecording(path, frames, fps, &error)) << error;
  return path;
}

// The mean absolute difference of two BGRA frames of one size (0 to 255).
inline double difference(platform::image::PixelBuffer& a, platform::image::PixelBuffer& b) {
  platform::image::BaseAddressLock la(a, platform::image::LockFlags::readOnly);
  platform::image::BaseAddressLock lb(b, platform::image::LockFlags::readOnly);
  if (!la.ok() || !lb.ok() || a.width() != b.width() || a.height() != b.height()) return 255;
  double sum = 0;
  for (int y = 0; y < a.height(); ++y) {
    const auto* ra = a.baseAddress() + y * a.bytesPerRow();
    const auto* rb = b.baseAddress() + y * b.bytesPerRow();
    for (int x = 0; x < a.width() * 4; ++x) sum += std::abs(int(ra[x]) - int(rb[x]));
  }
  return sum / (a.width() * a.height() * 4.0);
}

// Which of `sources` the frame shows (the nearest), and how far it is from it.
inline std::pair<int, double> whichFrame(platform::image::PixelBuffer& frame, const std::vector<Frame>& sources) {
  std::pair<int, double> best{-1, 256};
  for (std::size_t i = 0; i < sources.size(); ++i) {
    const double d = difference(frame, *sources[i]);
    if (d < best.second) best = {static_cast<int>(i), d};
  }
  return best;
}

}  // namespace quorvel::testing
