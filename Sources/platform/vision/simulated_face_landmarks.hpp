// The tests' face-landmarks detector: scripted results.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "platform/vision/face_landmarks.hpp"

namespace platform::vision {

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
  // Runs `step` inside the next request, before it answers: what happens while a frame is
  // being analysed.
  void runDuringNextRequest(std::function<void()> step);
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
  std::function<void()> duringNextRequest_;
  int requests_ = 0;
  std::optional<image::ImageOrientation> lastOrientation_;
};

}  // namespace platform::vision
