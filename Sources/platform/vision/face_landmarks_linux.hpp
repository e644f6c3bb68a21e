// The linux face-landmarks detector: dlib's face detector and 68-point shape predictor.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/vision/face_landmarks.hpp"

namespace platform::vision {

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
// ray to the face (face_landmarks_linux.cpp): they are the head's turn away from looking at the
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

}  // namespace platform::vision
