// The face-landmarks detector on dlib: HOG frontal face detector, 68-point shape predictor.
#include <dlib/image_processing.h>
#include <dlib/image_processing/frontal_face_detector.h>
#include <dlib/opencv/cv_image.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "platform/vision/face_landmarks.hpp"

namespace platform::vision {

struct DlibFaceLandmarksDetector::Models {
  dlib::shape_predictor predictor;
};

namespace {

constexpr int kMinimumReducedSide = 360;

// dlib's detector keeps scratch state while it scans: one copy per thread.
dlib::frontal_face_detector& threadDetector() {
  thread_local dlib::frontal_face_detector detector = dlib::get_frontal_face_detector();
  return detector;
}

// The 68-point model's index ranges. Its "36-41" eye is on the image's left, which is the
// person's right eye in an unmirrored frame. `nose` is the whole nose, bridge to nostrils
// (27-35), so its mean sits near the middle of the nose as the five-point templates expect:
// with it the five points of the johns faces fit the dlib template with a mean residual of
// 2.9 pixels, against 3.8 with the nostrils alone.
struct Range {
  int first, last;
};
constexpr Range kContour{0, 16}, kRightEyebrow{17, 21}, kLeftEyebrow{22, 26}, kNoseCrest{27, 30},
    kNose{27, 35}, kRightEye{36, 41}, kLeftEye{42, 47}, kOuterLips{48, 59}, kInnerLips{60, 67};

// Pixel index (column, row from the top) -> the bottom-left image plane, then normalised to
// the bounding box (given in that plane, in pixels).
Point normalisedInBox(const dlib::point& p, int frameHeight, const Rect& box) {
  const double x = p.x() + 0.5;
  const double y = frameHeight - (p.y() + 0.5);
  return {(x - box.minX()) / box.width(), (y - box.minY()) / box.height()};
}

FaceLandmarkRegion regionOf(const dlib::full_object_detection& shape, Range range, int frameHeight,
                            const Rect& box) {
  FaceLandmarkRegion region;
  for (int i = range.first; i <= range.last; ++i) {
    region.normalizedPoints.push_back(normalisedInBox(shape.part(i), frameHeight, box));
  }
  return region;
}

// Yaw and pitch (see the header for the convention) from a perspective-n-point fit.
std::optional<std::pair<double, double>> headPose(const dlib::full_object_detection& shape,
                                                  int width, int height) {
  // A generic face in millimetres: x to the image's right, y up, z towards the camera.
  static const std::vector<cv::Point3d> model = {
      {0.0, 0.0, 0.0},         // nose tip (30)
      {0.0, -330.0, -65.0},    // chin (8)
      {-225.0, 170.0, -135.0}, // outer corner of the image-left eye (36)
      {225.0, 170.0, -135.0},  // outer corner of the image-right eye (45)
      {-150.0, -150.0, -125.0},// image-left mouth corner (48)
      {150.0, -150.0, -125.0}, // image-right mouth corner (54)
  };
  const int indices[6] = {30, 8, 36, 45, 48, 54};
  std::vector<cv::Point2d> image;
  for (int i : indices) image.emplace_back(shape.part(i).x(), shape.part(i).y());
  const double focal = width;
  const cv::Matx33d camera(focal, 0, width / 2.0, 0, focal, height / 2.0, 0, 0, 1);
  // Start from a face looking straight at the camera: the model's y and z flip in the
  // camera's frame (y down, z away from the camera).
  const double eyeSpan = std::hypot(image[3].x - image[2].x, image[3].y - image[2].y);
  cv::Mat rvec = (cv::Mat_<double>(3, 1) << M_PI, 0, 0);
  cv::Mat tvec = (cv::Mat_<double>(3, 1) << 0, 0, eyeSpan > 1 ? focal * 450.0 / eyeSpan : 1000.0);
  try {
    if (!cv::solvePnP(model, image, camera, cv::noArray(), rvec, tvec, true,
                      cv::SOLVEPNP_ITERATIVE)) {
      return std::nullopt;
    }
  } catch (const cv::Exception&) {
    return std::nullopt;
  }
  cv::Matx33d r;
  cv::Rodrigues(rvec, r);
  // Head rotation in the viewer's frame: H = diag(1, -1, -1) * R; the face's forward
  // direction is H's third column.
  const double fx = r(0, 2), fy = -r(1, 2), fz = -r(2, 2);
  if (!std::isfinite(fx) || !std::isfinite(fy) || !std::isfinite(fz)) return std::nullopt;
  const double yaw = std::atan2(fx, fz);
  const double pitch = std::atan2(-fy, std::hypot(fx, fz));
  return std::make_pair(yaw, pitch);
}

FaceLandmarksError error(int code, const std::string& description) {
  return FaceLandmarksError{code, description};
}

}  // namespace

DlibFaceLandmarksDetector::DlibFaceLandmarksDetector(std::string shapePredictorPath)
    : path_(std::move(shapePredictorPath)) {}

DlibFaceLandmarksDetector::~DlibFaceLandmarksDetector() = default;

std::shared_ptr<DlibFaceLandmarksDetector> DlibFaceLandmarksDetector::shared() {
  static const auto detector = std::make_shared<DlibFaceLandmarksDetector>();
  return detector;
}

int DlibFaceLandmarksDetector::reductionFactor(int width, int height) {
  const int shorter = std::min(width, height);
  return std::max(1, shorter / kMinimumReducedSide);
}

FaceLandmarksResult DlibFaceLandmarksDetector::detectFaceLandmarks(
    const std::shared_ptr<image::PixelBuffer>& frame, image::ImageOrientation orientation) {
  return run(frame, orientation, nullptr);
}

FaceLandmarksResult DlibFaceLandmarksDetector::landmarksForFaces(
    const std::shared_ptr<image::PixelBuffer>& frame, image::ImageOrientation orientation,
    const std::vector<Rect>& boundingBoxes) {
  return run(frame, orientation, &boundingBoxes);
}

FaceLandmarksResult DlibFaceLandmarksDetector::run(const std::shared_ptr<image::PixelBuffer>& frame,
                                                   image::ImageOrientation orientation,
                                                   const std::vector<Rect>* boxes) {
  std::call_once(loadOnce_, [this] {
    try {
      auto models = std::make_shared<Models>();
      dlib::deserialize(path_) >> models->predictor;
      if (models->predictor.num_parts() != 68) {
        loadError_ = "The landmark model at " + path_ + " does not have 68 points.";
      } else {
        models_ = std::move(models);
      }
    } catch (const std::exception& e) {
      loadError_ = "The landmark model could not be loaded from " + path_ + ": " + e.what();
    }
  });
  if (!models_) return error(1, loadError_);
  if (!frame) return error(2, "There is no image to analyse.");
  if (orientation != image::ImageOrientation::up) {
    return error(3, "Only upright images are supported.");
  }
  if (frame->pixelFormat() != image::kPixelFormat32BGRA) {
    char text[96];
    std::snprintf(text, sizeof text, "The pixel format 0x%08X is not supported.",
                  static_cast<unsigned>(frame->pixelFormat()));
    return error(4, text);
  }
  cv::Mat grey;
  {
    image::BaseAddressLock lock(*frame, image::LockFlags::readOnly);
    if (!lock.ok()) return error(5, "The pixel buffer's memory could not be read.");
    const cv::Mat bgra(frame->height(), frame->width(), CV_8UC4,
                       const_cast<std::uint8_t*>(frame->baseAddress()), frame->bytesPerRow());
    cv::cvtColor(bgra, grey, cv::COLOR_BGRA2GRAY);
  }
  const int width = grey.cols, height = grey.rows;

  // Face boxes in full-resolution pixel indices (inclusive corners, rows from the top).
  std::vector<std::pair<dlib::rectangle, double>> faces;
  if (boxes) {
    for (const Rect& b : *boxes) {
      const double left = b.minX() * width, right = b.maxX() * width;
      const double top = height - b.maxY() * height, bottom = height - b.minY() * height;
      faces.emplace_back(dlib::rectangle(std::lround(left), std::lround(top),
                                         std::lround(right) - 1, std::lround(bottom) - 1),
                         1.0);
    }
  } else {
    const int factor = reductionFactor(width, height);
    cv::Mat reduced = grey;
    if (factor > 1) {
      cv::resize(grey, reduced, cv::Size(width / factor, height / factor), 0, 0, cv::INTER_AREA);
    }
    std::vector<dlib::rect_detection> detections;
    try {
      threadDetector()(dlib::cv_image<unsigned char>(reduced), detections, 0.0);
    } catch (const std::exception& e) {
      return error(6, std::string("Face detection failed: ") + e.what());
    }
    for (const auto& detection : detections) {
      const dlib::rectangle& r = detection.rect;
      // Back to full-resolution pixels: a reduced pixel covers factor x factor of them.
      faces.emplace_back(dlib::rectangle(r.left() * factor, r.top() * factor,
                                         (r.right() + 1) * factor - 1,
                                         (r.bottom() + 1) * factor - 1),
                         detection.detection_confidence);
    }
  }

  std::vector<FaceObservation> observations;
  const dlib::cv_image<unsigned char> full(grey);
  for (const auto& [box, confidence] : faces) {
    const dlib::full_object_detection shape = models_->predictor(full, box);
    if (shape.num_parts() != 68) continue;

    FaceObservation observation;
    // The box in the bottom-left plane, in pixels, then normalised.
    const Rect pixels(box.left(), height - (box.bottom() + 1.0), box.width(), box.height());
    observation.boundingBox = Rect(pixels.minX() / width, pixels.minY() / height,
                                   pixels.width() / width, pixels.height() / height);
    FaceLandmarks landmarks;
    landmarks.faceContour = regionOf(shape, kContour, height, pixels);
    landmarks.rightEyebrow = regionOf(shape, kRightEyebrow, height, pixels);
    landmarks.leftEyebrow = regionOf(shape, kLeftEyebrow, height, pixels);
    landmarks.noseCrest = regionOf(shape, kNoseCrest, height, pixels);
    landmarks.nose = regionOf(shape, kNose, height, pixels);
    landmarks.rightEye = regionOf(shape, kRightEye, height, pixels);
    landmarks.leftEye = regionOf(shape, kLeftEye, height, pixels);
    landmarks.outerLips = regionOf(shape, kOuterLips, height, pixels);
    landmarks.innerLips = regionOf(shape, kInnerLips, height, pixels);
    observation.landmarks = std::move(landmarks);
    if (const auto pose = headPose(shape, width, height)) {
      observation.yaw = pose->first;
      observation.pitch = pose->second;
    }
    observation.confidence = confidence;
    observations.push_back(std::move(observation));
  }
  return observations;
}

}  // namespace platform::vision
