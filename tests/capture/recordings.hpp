// Recordings made from photos: frames placed and turned, written as PNG sequences or videos.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/capture/capture.hpp"
#include "platform/capture/linux_capture.hpp"
#include "platform/image/context.hpp"
#include "platform/image/image.hpp"
#include "platform/image/image_io.hpp"

namespace quorvel::testing {

using Frame = std::shared_ptr<platform::image::PixelBuffer>;

// The photo enlarged `scale` times in the middle of a width x height frame, then transformed
// by `t` (y up) about the frame's centre.
inline Frame placedPhoto(const std::string& path, int width, int height, double scale,
                         const platform::AffineTransform& t = {}) {
  const auto photo = platform::image::readImageFile(path);
  EXPECT_TRUE(photo) << path << " cannot be read: run scripts/setup (package libdlib19.1)";
  if (!photo) return nullptr;
  const auto image = platform::image::Image::fromPixelBuffer(photo)
                         .scaledBy(scale, scale)
                         .translatedBy(-photo->width() * scale / 2, -photo->height() * scale / 2)
                         .transformed(t)
                         .translatedBy(width / 2.0, height / 2.0);
  auto frame = platform::image::PixelBuffer::create(width, height);
  platform::image::Context({.highQualityDownsample = true})
      .render(image, *frame, platform::Rect(0, 0, width, height), platform::image::ColorSpace::sRGB());
  return frame;
}

// The frames as a numbered PNG sequence in `folder` (which exists); returns its pattern.
inline std::string writeSequence(const std::vector<Frame>& frames, const std::string& folder) {
  for (std::size_t i = 0; i < frames.size(); ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/frame%03zu.png", i);
    EXPECT_TRUE(platform::image::writePNG(*frames[i], folder + name));
  }
  return folder + "/frame%03d.png";
}

inline std::string writeVideo(const std::vector<Frame>& frames, double fps, const std::string& path) {
  std::string error;
  EXPECT_TRUE(platform::capture::writeRecording(path, frames, fps, &error)) << error;
  return path;
}

// From now on the process's capture system is the Linux one, playing `recording` as the
// environment says ("1" loops; an empty `fps` keeps the recording's own rate).
inline void useRecordedCamera(const std::string& recording, const char* loop, const char* fps) {
  ::setenv("QUORVEL_CAMERA", recording.c_str(), 1);
  ::setenv("QUORVEL_CAMERA_LOOP", loop, 1);
  ::setenv("QUORVEL_CAMERA_FPS", fps, 1);
  platform::capture::install(nullptr);
}

// Takes the recording out of the environment again (the fixture puts its own camera back).
inline void forgetRecordedCamera() {
  for (const char* name : {"QUORVEL_CAMERA", "QUORVEL_CAMERA_LOOP", "QUORVEL_CAMERA_FPS"}) ::unsetenv(name);
}

}  // namespace quorvel::testing
