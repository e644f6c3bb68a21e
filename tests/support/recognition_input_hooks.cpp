#include "support/recognition_input_hooks.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "platform/capture/capture.hpp"
#include "platform/image/context.hpp"
#include "platform/image/image_io.hpp"
#include "platform/vision/face_landmarks_linux.hpp"
#include "support/platform_fixture.hpp"

namespace quorvel::testing {
namespace {

FreshPart<platform::capture::SimulatedCaptureSystem, &platform::capture::install> camera;
FreshPart<platform::vision::SimulatedFaceLandmarksDetector,
          &platform::vision::installFaceLandmarksDetector>
    landmarks;
FixtureHook clearPixelBufferFaults([] { platform::image::faults::failNextPixelBufferCreations(0); },
                                   [] { platform::image::faults::failNextPixelBufferCreations(0); });

}  // namespace

platform::capture::SimulatedCaptureSystem& simulatedCamera() { return *camera; }
platform::vision::SimulatedFaceLandmarksDetector& simulatedFaceLandmarks() { return *landmarks; }

void useRealFaceLandmarks() {
  platform::vision::installFaceLandmarksDetector(
      platform::vision::DlibFaceLandmarksDetector::shared());
}

std::string dlibExamplesFolder() { return "/usr/share/doc/libdlib19.1/examples"; }

std::vector<std::string> johnsPhotos() {
  std::vector<std::string> photos;
  const std::filesystem::path folder = dlibExamplesFolder() + "/johns";
  std::error_code error;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder, error)) {
    if (entry.is_regular_file() && entry.path().extension() == ".jpg") {
      photos.push_back(entry.path().string());
    }
  }
  std::sort(photos.begin(), photos.end());
  EXPECT_EQ(photos.size(), 55u) << "the photos of " << folder
                                << " are missing: run scripts/setup (package libdlib19.1)";
  return photos;
}

std::shared_ptr<platform::image::PixelBuffer> examplePhoto(const std::string& relativePath) {
  const std::string path = dlibExamplesFolder() + "/" + relativePath;
  auto photo = platform::image::readImageFile(path);
  EXPECT_TRUE(photo) << path << " cannot be read: run scripts/setup (package libdlib19.1)";
  return photo;
}

std::shared_ptr<platform::image::PixelBuffer> renderedFrame(const platform::image::Image& image, int width,
                                                            int height) {
  auto frame = platform::image::PixelBuffer::create(width, height);
  if (!frame || !platform::image::Context({.highQualityDownsample = true})
                     .render(image, *frame, platform::Rect(0, 0, width, height), platform::image::ColorSpace::sRGB())) {
    ADD_FAILURE() << "could not draw a " << width << " x " << height << " frame";
    return nullptr;
  }
  return frame;
}

std::shared_ptr<platform::image::PixelBuffer> mirrored(platform::image::PixelBuffer& frame) {
  const auto source = platform::image::Image::fromPixelBuffer(
      std::shared_ptr<platform::image::PixelBuffer>(&frame, [](auto*) {}));
  return renderedFrame(source.transformed(platform::AffineTransform{-1, 0, 0, 1, double(frame.width()), 0}),
                       frame.width(), frame.height());
}

}  // namespace quorvel::testing
