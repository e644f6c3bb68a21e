#include "platform/vision/simulated_face_landmarks.hpp"

#include <utility>

namespace platform::vision {
namespace {

FaceLandmarkRegion region(std::initializer_list<Point> points) { return {points}; }

}  // namespace

FaceLandmarksResult SimulatedFaceLandmarksDetector::detectFaceLandmarks(
    const std::shared_ptr<image::PixelBuffer>& frame, image::ImageOrientation orientation) {
  std::function<void()> during;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    during = std::exchange(duringNextRequest_, nullptr);
  }
  if (during) during();
  std::lock_guard<std::mutex> lock(mutex_);
  ++requests_;
  lastOrientation_ = orientation;
  if (frame) {
    const auto found = scripted_.find(frame.get());
    if (found != scripted_.end()) return found->second.second;
  }
  if (!queued_.empty()) {
    FaceLandmarksResult next = std::move(queued_.front());
    queued_.pop_front();
    return next;
  }
  return default_;
}

FaceLandmarksResult SimulatedFaceLandmarksDetector::landmarksForFaces(
    const std::shared_ptr<image::PixelBuffer>& frame, image::ImageOrientation orientation,
    const std::vector<Rect>&) {
  return detectFaceLandmarks(frame, orientation);
}

void SimulatedFaceLandmarksDetector::script(const std::shared_ptr<image::PixelBuffer>& frame,
                                            FaceLandmarksResult result) {
  std::lock_guard<std::mutex> lock(mutex_);
  scripted_[frame.get()] = {frame, std::move(result)};
}

void SimulatedFaceLandmarksDetector::runDuringNextRequest(std::function<void()> step) {
  std::lock_guard<std::mutex> lock(mutex_);
  duringNextRequest_ = std::move(step);
}

void SimulatedFaceLandmarksDetector::enqueue(FaceLandmarksResult result) {
  std::lock_guard<std::mutex> lock(mutex_);
  queued_.push_back(std::move(result));
}

void SimulatedFaceLandmarksDetector::setDefault(FaceLandmarksResult result) {
  std::lock_guard<std::mutex> lock(mutex_);
  default_ = std::move(result);
}

void SimulatedFaceLandmarksDetector::reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  scripted_.clear();
  queued_.clear();
  default_ = std::vector<FaceObservation>{};
  duringNextRequest_ = nullptr;
  requests_ = 0;
  lastOrientation_.reset();
}

int SimulatedFaceLandmarksDetector::requestCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::optional<image::ImageOrientation> SimulatedFaceLandmarksDetector::lastOrientation() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastOrientation_;
}

FaceObservation SimulatedFaceLandmarksDetector::frontalFace(const Rect& boundingBox,
                                                            std::optional<double> yaw,
                                                            std::optional<double> pitch) {
  FaceLandmarks landmarks;
  // The person's right eye is on the image's left.
  landmarks.rightEye = region({{0.24, 0.66}, {0.30, 0.69}, {0.36, 0.69}, {0.42, 0.66},
                               {0.36, 0.63}, {0.30, 0.63}});
  landmarks.leftEye = region({{0.58, 0.66}, {0.64, 0.69}, {0.70, 0.69}, {0.76, 0.66},
                              {0.70, 0.63}, {0.64, 0.63}});
  landmarks.rightEyebrow = region({{0.18, 0.78}, {0.26, 0.81}, {0.34, 0.82}, {0.42, 0.80}});
  landmarks.leftEyebrow = region({{0.58, 0.80}, {0.66, 0.82}, {0.74, 0.81}, {0.82, 0.78}});
  landmarks.noseCrest = region({{0.50, 0.66}, {0.50, 0.58}, {0.50, 0.50}, {0.50, 0.42}});
  landmarks.nose = region({{0.42, 0.38}, {0.46, 0.36}, {0.50, 0.35}, {0.54, 0.36}, {0.58, 0.38},
                           {0.50, 0.42}});
  landmarks.outerLips = region({{0.34, 0.22}, {0.42, 0.26}, {0.50, 0.25}, {0.58, 0.26},
                                {0.66, 0.22}, {0.58, 0.16}, {0.50, 0.15}, {0.42, 0.16}});
  landmarks.innerLips = region({{0.38, 0.22}, {0.50, 0.23}, {0.62, 0.22}, {0.50, 0.19}});
  landmarks.faceContour = region({{0.02, 0.70}, {0.06, 0.40}, {0.20, 0.12}, {0.50, 0.00},
                                  {0.80, 0.12}, {0.94, 0.40}, {0.98, 0.70}});
  FaceObservation observation;
  observation.boundingBox = boundingBox;
  observation.landmarks = std::move(landmarks);
  observation.yaw = yaw;
  observation.pitch = pitch;
  return observation;
}

}  // namespace platform::vision
