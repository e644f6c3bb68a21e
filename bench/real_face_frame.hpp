// What the per-frame benchmarks share: a 1280 x 720 BGRA frame holding a portrait from
// Debian's dlib examples, scaled so that the face is about 250 pixels wide (a person sitting
// before a laptop), in the middle of the frame; and a line saying how many threads the
// frame's work may use.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "platform/compute/compute.hpp"
#include "platform/geometry/geometry.hpp"
#include "platform/image/context.hpp"
#include "platform/image/image.hpp"
#include "platform/image/image_io.hpp"
#include "platform/vision/face_landmarks_linux.hpp"

namespace bench {

inline std::shared_ptr<platform::image::PixelBuffer> makeRealFaceFrame() {
  const auto photo = platform::image::readImageFile(
      "/usr/share/doc/libdlib19.1/examples/faces/Tom_Cruise_avp_2014_4.jpg");
  if (!photo) {
    std::fprintf(stderr, "The example photo is missing: run scripts/setup (libdlib19.1)\n");
    std::exit(1);
  }
  const double scale = 0.56;
  const auto placed = platform::image::Image::fromPixelBuffer(photo)
                          .scaledBy(scale, scale)
                          .translatedBy((1280 - photo->width() * scale) / 2,
                                        (720 - photo->height() * scale) / 2);
  auto made = platform::image::PixelBuffer::create(1280, 720);
  platform::image::Context({.highQualityDownsample = true})
      .render(placed, *made, platform::Rect(0, 0, 1280, 720), platform::image::ColorSpace::sRGB());
  return made;
}

// Prints, once, the threads each part of the frame's work runs on.
inline void printThreads() {
  static const bool printed = [] {
    std::printf("Threads: face search %d, OpenCV (hand pose, liveness) %d, BLAS (descriptor) %d\n",
                platform::vision::DlibFaceLandmarksDetector::shared()->searchThreads(),
                platform::compute::openCVThreads(), platform::compute::blasThreads());
    return true;
  }();
  (void)printed;
}

}  // namespace bench
