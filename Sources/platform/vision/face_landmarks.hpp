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
// `faceLandmarksDetector()` is the installed detector: the dlib one (dlib's frontal face
// detector and the 68-point shape predictor of Debian's libdlib-data) unless a test installed
// the simulated one.
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

// The Linux detector.
//
// Faces are searched on a reduced grey copy of the frame: by 2 when its shorter side stays
// 360 pixels or more that way (1280 x 720 and 1920 x 1080 frames alike), else at full size,
// which keeps a face of 150 pixels (a person well back from a laptop) at the detector's reach
// (about 75 pixels). The search scans the levels of its image pyramid on up to
// `searchThreads` threads at once and finds exactly the faces dlib's detector finds
// (dlib_face_search.hpp). The 68 points are then fitted on the full-resolution frame,
// twice: the second time from the box in which the predictor's mean face matches the first fit.
// Yaw and pitch come from a fit of the nose and eye landmarks to a mean 3D face seen along the
// ray to the face (face_landmarks_dlib.cpp): they are the head's turn away from looking at the
// camera, the same wherever the face sits in the frame and whatever its size.
class DlibFaceLandmarksDetector : public FaceLandmarksDetector {
 public:
  static constexpr const char* kDefaultShapePredictorPath =
      "/usr/share/dlib/shape_predictor_68_face_landmarks.dat";
  // `searchThreads` 0: `defaultSearchThreads()`.
  explicit DlibFaceLandmarksDetector(std::string shapePredictorPath = kDefaultShapePredictorPath,
                                     int searchThreads = 0);
  ~DlibFaceLandmarksDetector() override;
  // One process-wide detector over the default model file, loaded on its first request and
  // kept for the life of the process (the model takes a second to load).
  static std::shared_ptr<DlibFaceLandmarksDetector> shared();

  FaceLandmarksResult detectFaceLandmarks(const std::shared_ptr<image::PixelBuffer>& frame,
                                          image::ImageOrientation orientation) override;
  FaceLandmarksResult landmarksForFaces(const std::shared_ptr<image::PixelBuffer>& frame,
                                        image::ImageOrientation orientation,
                                        const std::vector<Rect>& boundingBoxes) override;

  // The reduction factor used for a frame of this size.
  static int reductionFactor(int width, int height);
  // The threads a search runs on unless told otherwise: the processors this process may run
  // on, at most 4.
  static int defaultSearchThreads();
  int searchThreads() const { return searchThreads_; }

  struct Models;

 private:
  std::string path_;
  int searchThreads_;
  std::once_flag loadOnce_;
  std::shared_ptr<Models> models_;
  std::string loadError_;

  // Searches faces unless `boxes` gives them.
  FaceLandmarksResult run(const std::shared_ptr<image::PixelBuffer>& frame,
                          image::ImageOrientation orientation, const std::vector<Rect>* boxes);
};

// A scripted detector for tests. Each request takes, in this order of precedence: the result
// scripted for that very frame (by buffer identity), else the next queued result, else the
// default result (no faces unless set).
class SimulatedFaceLandmarksDetector : public FaceLandmarksDetector {
 public:
  FaceLandmarksResult detectFaceLandmarks(const std::shared_ptr<image::PixelBuffer>& frame,
                                          image::ImageOrientation orientation) override;
  // Takes its answer like detectFaceLandmarks.
  FaceLandmarksResult landmarksForFaces(const std::shared_ptr<image::PixelBuffer>& frame,
                                        image::ImageOrientation orientation,
                                        const std::vector<Rect>& boundingBoxes) override;

  void script(const std::shared_ptr<image::PixelBuffer>& frame, FaceLandmarksResult result);
  void enqueue(FaceLandmarksResult result);
  void setDefault(FaceLandmarksResult result);
  void reset();

  int requestCount() const;
  std::optional<image::ImageOrientation> lastOrientation() const;

  // A frontal face filling `boundingBox` (normalised), with the landmark regions a detector
  // gives (both eyes, eyebrows, nose, lips, contour) at plausible places.
  static FaceObservation frontalFace(const Rect& boundingBox, std::optional<double> yaw = 0.0,
                                     std::optional<double> pitch = 0.0);

 private:
  mutable std::mutex mutex_;
  std::map<const image::PixelBuffer*,
           std::pair<std::shared_ptr<image::PixelBuffer>, FaceLandmarksResult>>
      scripted_;
  std::deque<FaceLandmarksResult> queued_;
  FaceLandmarksResult default_ = std::vector<FaceObservation>{};
  int requests_ = 0;
  std::optional<image::ImageOrientation> lastOrientation_;
};

}  // namespace platform::vision
