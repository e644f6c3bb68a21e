// The simulated camera and face-landmarks detector that every test starts with, and helpers
// for tests that use real photos.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/capture/simulated_capture.hpp"
#include "platform/image/image.hpp"
#include "platform/image/pixel_buffer.hpp"
#include "platform/vision/simulated_face_landmarks.hpp"

namespace quorvel::testing {

// The instances installed for the running test (fresh for every test).
platform::capture::SimulatedCaptureSystem& simulatedCamera();
platform::vision::SimulatedFaceLandmarksDetector& simulatedFaceLandmarks();

// Makes the running test use the real (dlib) face-landmarks detector.
void useRealFaceLandmarks();

// Debian's dlib example photos (package libdlib19.1).
std::string dlibExamplesFolder();
// Every photo of examples/johns, sorted by path.
std::vector<std::string> johnsPhotos();
// A photo of the examples; a test failure (with how to install it) when it is missing.
std::shared_ptr<platform::image::PixelBuffer> examplePhoto(const std::string& relativePath);

// A new width x height frame with `image` drawn into it (high-quality downsampling, sRGB); a
// test failure and no frame when it cannot be drawn.
std::shared_ptr<platform::image::PixelBuffer> renderedFrame(const platform::image::Image& image, int width,
                                                            int height);
// A horizontally mirrored copy of `frame`.
std::shared_ptr<platform::image::PixelBuffer> mirrored(platform::image::PixelBuffer& frame);

}  // namespace quorvel::testing
