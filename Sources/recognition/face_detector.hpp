// The one face the recognition road works on: the largest face of a camera frame, with its
// landmarks, yaw and pitch (platform/vision/face_landmarks.hpp for the conventions).
#pragma once

#include <memory>
#include <optional>

#include "platform/image/pixel_buffer.hpp"
#include "platform/vision/face_landmarks.hpp"

namespace quorvel {

using FaceObservation = platform::vision::FaceObservation;

class FaceDetector {
 public:
  static FaceDetector& shared();

  // The face with the largest bounding-box area in `frame` (32-bit BGRA, as the camera
  // delivers it, taken upright and unmirrored); the first listed wins a tie. No value when
  // there is none or the request fails (which is logged). Synchronous and stateless: calls
  // from several queues at once do not interfere.
  std::optional<FaceObservation> largestFace(
      const std::shared_ptr<platform::image::PixelBuffer>& frame) const;

  // The two halves of `largestFace`, for a caller that makes the request ahead of needing it:
  // the landmarks request alone (nothing logged), and the largest face of its answer (a
  // failed request is logged here).
  platform::vision::FaceLandmarksResult facesIn(
      const std::shared_ptr<platform::image::PixelBuffer>& frame) const;
  std::optional<FaceObservation> largestFace(const platform::vision::FaceLandmarksResult& faces) const;
  // The face with the largest area of a list (the first of equals); null for an empty list.
  static const FaceObservation* largestOf(const std::vector<FaceObservation>& faces);
};

}  // namespace quorvel
