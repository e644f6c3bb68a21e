// Face landmarks: the faces in a frame with their bounding boxes, landmark regions and head
// pose, in the platform's conventions.
//
// - `boundingBox` is normalised to the frame (0 to 1) with the origin at the bottom left and
//   y up (the image plane of platform/image, divided by the frame's size). It may reach past
//   0 or 1 for a face at the border.
// - Landmark points are normalised to the bounding box, the same way: (0, 0) is the box's
//   bottom-left corner, (1, 1) its top-right corner. A point p of a region lies in the frame's
//   plane at (bb.x + p.x * bb.width) * W, (bb.y + p.y * bb.height) * H.
// - `nose` covers the whole nose, from the bridge to the nostrils; `noseCrest` the bridge.
// - Region names follow the person: `leftEye` is the person's left eye, which an unmirrored
//   camera frame shows on the right. Code that needs image sides sorts by x itself.
// - `yaw` and `pitch` are in radians, right-handed rotations about the axes of the frame's
//   plane (x to the right, y up, z out of the image towards the viewer), measured from a face
//   looking straight into the camera:
//     yaw > 0   the nose points towards the right edge of the image (in an unmirrored camera
//               frame, the person turned to their own left); a mirrored frame negates it;
//     pitch > 0 the nose points towards the bottom edge of the image (head bowed); mirroring
//               leaves it unchanged.
//   Either may be missing when the detector cannot estimate it.
//
// `faceLandmarksDetector()` is the installed detector: the dlib one (face_landmarks_linux.hpp:
// dlib's frontal face detector and the 68-point shape predictor of Debian's libdlib-data)
// unless a test installed the simulated one (simulated_face_landmarks.hpp).
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/geometry/geometry.hpp"
#include "platform/image/pixel_buffer.hpp"

namespace platform::vision {

struct FaceLandmarkRegion {
  std::vector<Point> normalizedPoints;
  std::size_t pointCount() const { return normalizedPoints.size(); }
};

struct FaceLandmarks {
  std::optional<FaceLandmarkRegion> faceContour;
  std::optional<FaceLandmarkRegion> leftEyebrow;
  std::optional<FaceLandmarkRegion> rightEyebrow;
  std::optional<FaceLandmarkRegion> noseCrest;
  std::optional<FaceLandmarkRegion> nose;
  std::optional<FaceLandmarkRegion> leftEye;
  std::optional<FaceLandmarkRegion> rightEye;
  std::optional<FaceLandmarkRegion> outerLips;
  std::optional<FaceLandmarkRegion> innerLips;
};

struct FaceObservation {
  Rect boundingBox;
  std::optional<FaceLandmarks> landmarks;
  std::optional<double> yaw;
  std::optional<double> pitch;
  double confidence = 1;
};

struct FaceLandmarksError {
  int code = 0;
  std::string localizedDescription;
};

// What one landmarks request gives: the faces found (possibly none), or an error.
using FaceLandmarksResult = std::variant<std::vector<FaceObservation>, FaceLandmarksError>;

class FaceLandmarksDetector {
 public:
  virtual ~FaceLandmarksDetector() = default;
  // One face-landmarks request over `frame` (32-bit BGRA) taken with `orientation`.
  // Synchronous; safe to call from several threads at once.
  virtual FaceLandmarksResult detectFaceLandmarks(
      const std::shared_ptr<image::PixelBuffer>& frame, image::ImageOrientation orientation) = 0;
  // Landmarks for faces the caller already knows (normalised bounding boxes, as in the
  // results): no search, one observation per box, in the order given.
  virtual FaceLandmarksResult landmarksForFaces(const std::shared_ptr<image::PixelBuffer>& frame,
                                                image::ImageOrientation orientation,
                                                const std::vector<Rect>& boundingBoxes) = 0;
};

std::shared_ptr<FaceLandmarksDetector> faceLandmarksDetector();
void installFaceLandmarksDetector(std::shared_ptr<FaceLandmarksDetector> detector);

}  // namespace platform::vision
