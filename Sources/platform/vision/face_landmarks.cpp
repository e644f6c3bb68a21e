#include "platform/vision/face_landmarks.hpp"

#include "platform/vision/face_landmarks_linux.hpp"

namespace platform::vision {
namespace {

std::mutex installMutex;
std::shared_ptr<FaceLandmarksDetector>& installed() {
  static std::shared_ptr<FaceLandmarksDetector> detector;
  return detector;
}

}  // namespace

std::shared_ptr<FaceLandmarksDetector> faceLandmarksDetector() {
  std::lock_guard<std::mutex> lock(installMutex);
  if (installed()) return installed();
  return DlibFaceLandmarksDetector::shared();
}

void installFaceLandmarksDetector(std::shared_ptr<FaceLandmarksDetector> detector) {
  std::lock_guard<std::mutex> lock(installMutex);
  installed() = std::move(detector);
}

}  // namespace platform::vision
