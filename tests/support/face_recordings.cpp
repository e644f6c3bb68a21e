#include "support/face_recordings.hpp"

#include <cmath>
#include <filesystem>
#include <optional>

#include "onboarding/enrolment_model.hpp"
#include "platform/image/image.hpp"
#include "platform/image/image_io.hpp"
#include "recognition/face_detector.hpp"
#include "support/recognition_input_hooks.hpp"

namespace quorvel::testing::recordings {

std::map<std::string, std::vector<std::string>> johnsByPerson() {
  std::map<std::string, std::vector<std::string>> people;
  for (const std::string& path : johnsPhotos()) {
    people[std::filesystem::path(path).parent_path().filename().string()].push_back(path);
  }
  return people;
}

Frame placedPhoto(const std::string& path, int width, int height, double scale,
                  const platform::AffineTransform& t) {
  const auto photo = platform::image::readImageFile(path);
  if (!photo) return nullptr;
  const auto image = platform::image::Image::fromPixelBuffer(photo)
                         .scaledBy(scale, scale)
                         .translatedBy(-photo->width() * scale / 2, -photo->height() * scale / 2)
                         .transformed(t)
                         .translatedBy(width / 2.0, height / 2.0);
  return renderedFrame(image, width, height);
}

std::vector<Frame> headScan(const std::string& photo, double reach, std::string* error, int width,
                            int height, double scale) {
  const auto direction = [](const Frame& frame) -> std::optional<platform::Point> {
    const auto face = frame ? FaceDetector::shared().largestFace(frame) : std::nullopt;
    return face ? EnrolmentModel::headDirection(*face) : std::nullopt;
  };
  const auto own = direction(placedPhoto(photo, width, height, scale));
  const Frame straight = placedPhoto(photo, width, height, scale, {1, 0, 0, 1.1, 0, 0});
  const auto centre = direction(straight);
  if (!own || !centre || own->y >= -0.3) {
    if (error) *error = photo + " shows no frontal face (the nose below the eyes)";
    return {};
  }
  std::vector<Frame> frames{straight, straight};
  for (int round = 0; round < EnrolmentModel::passes; ++round) {
    for (int tick = 0; tick < EnrolmentModel::tickCount; ++tick) {
      const double angle = tick * M_PI / 6;
      const double x = centre->x + reach * std::sin(angle), y = centre->y + reach * std::cos(angle);
      const double s = std::sqrt(std::max(0.0, x * x + y * y - own->x * own->x)) / -own->y;
      const double phi = std::atan2(y, x) - std::atan2(s * own->y, own->x);
      const double cs = std::cos(-phi), sn = std::sin(-phi);
      frames.push_back(placedPhoto(photo, width, height, scale, {cs, sn, -s * sn, s * cs, 0, 0}));
    }
  }
  return frames;
}

std::vector<Frame> matchFrames(const std::vector<std::string>& photos, int width, int height,
                               double scale) {
  std::vector<Frame> frames;
  for (const auto& photo : photos) {
    frames.push_back(placedPhoto(photo, width, height, scale));
    if (!frames.back()) return {};
  }
  return frames;
}

}  // namespace quorvel::testing::recordings
