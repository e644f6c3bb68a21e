#include "recognition/face_detector.hpp"

#include <variant>

#include "foundation/log.hpp"
#include "platform/shared.hpp"

namespace quorvel {

FaceDetector& FaceDetector::shared() {
  static platform::SharedInstance<FaceDetector> instance;
  return instance.get();
}

std::optional<FaceObservation> FaceDetector::largestFace(
    const std::shared_ptr<platform::image::PixelBuffer>& frame) const {
  return largestFace(facesIn(frame));
}

platform::vision::FaceLandmarksResult FaceDetector::facesIn(
    const std::shared_ptr<platform::image::PixelBuffer>& frame) const {
  return platform::vision::faceLandmarksDetector()->detectFaceLandmarks(frame, platform::image::ImageOrientation::up);
}

std::optional<FaceObservation> FaceDetector::largestFace(const platform::vision::FaceLandmarksResult& result) const {
  if (const auto* failure = std::get_if<platform::vision::FaceLandmarksError>(&result)) {
    Log::face().error("Vision request failed: %s", failure->localizedDescription);
    return std::nullopt;
  }
  const FaceObservation* best = largestOf(std::get<std::vector<FaceObservation>>(result));
  if (!best) return std::nullopt;
  return *best;
}

const FaceObservation* FaceDetector::largestOf(const std::vector<FaceObservation>& faces) {
  if (faces.empty()) return nullptr;
  const FaceObservation* best = &faces.front();
  auto area = [](const FaceObservation& face) {
    return face.boundingBox.width() * face.boundingBox.height();
  };
  for (const auto& face : faces) {
    if (area(face) > area(*best)) best = &face;
  }
  return best;
}

}  // namespace quorvel
