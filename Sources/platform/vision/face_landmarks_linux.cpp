// The face-landmarks detector on dlib: HOG frontal face detector, 68-point shape predictor.
#include <dlib/image_processing.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "platform/compute/compute.hpp"
#include "platform/vision/dlib_face_search.hpp"
#include "platform/vision/face_landmarks_dlib.hpp"
#include "platform/vision/face_landmarks_linux.hpp"

namespace platform::vision {

struct DlibFaceLandmarksDetector::Models {
  Models(const std::string& path, int threads)
      : predictor(path), meanShape(predictor.meanShape()), search(threads) {}
  DlibShapeModel predictor;
  // The predictor's starting shape: its mean face, in coordinates of the face box (0 to 1).
  std::vector<dlib::dpoint> meanShape;
  DlibFaceSearch search;
};

namespace {

// The search runs on a copy reduced by at most 2, and only while its shorter side stays 360
// pixels or more: a face of 150 pixels is still 75 there, within the detector's reach.
constexpr int kMinimumReducedSide = 360;
constexpr int kMostReduction = 2;

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

// A mean face for the 68-point model's nose (27-35) and eyes (36-47), in units of the distance
// between the outer eye corners: x to the image's right, y up, z towards the camera. x and y are
// dlib's own mean frontal face (the arrangement its face chips are aligned to), so a face whose
// landmarks take that arrangement reads yaw and pitch 0. The depths come from a rank-3
// (Tomasi-Kanade) factorisation of the shapes this detector finds in dlib's example photos
// (examples/faces and examples/johns, each also mirrored), made symmetric. The jaw line, brows
// and lips are left out: they move with the silhouette or with the expression.
struct ModelPoint {
  int index;
  double x, y, z;
};
constexpr ModelPoint kMeanFace[] = {
    {27, 0.0, 0.400, 0.317},     {28, 0.0, 0.260, 0.435},     {29, 0.0, 0.120, 0.564},
    {30, 0.0, -0.024, 0.678},    {31, -0.167, -0.121, 0.382}, {32, -0.087, -0.151, 0.444},
    {33, 0.0, -0.176, 0.492},    {34, 0.087, -0.151, 0.444},  {35, 0.167, -0.121, 0.382},
    {36, -0.500, 0.383, 0.0},    {37, -0.411, 0.434, 0.049},  {38, -0.304, 0.432, 0.060},
    {39, -0.211, 0.362, 0.061},  {40, -0.311, 0.344, 0.051},  {41, -0.417, 0.345, 0.039},
    {42, 0.211, 0.362, 0.061},   {43, 0.304, 0.432, 0.060},   {44, 0.411, 0.434, 0.049},
    {45, 0.500, 0.383, 0.0},     {46, 0.417, 0.345, 0.039},   {47, 0.311, 0.344, 0.051},
};
// The camera's distance from the face, in eye spans, for the fit: far enough that the face's
// own depth barely changes its image (a laptop camera sees a face from about 7 eye spans).
constexpr double kViewingDistance = 40;
// The factorisation fixes depth only up to the photos' noise, and its depths run deep: the
// nose tip comes out 0.68 eye spans in front of the outer eye corners, where adult faces
// measure about half a span. Scaled to that, a face turned about 40 degrees (0.7 rad) by eye
// reads 0.7 rather than 0.6, while faces still read the same angles wherever they sit.
constexpr double kDepthScale = 0.75;

// Yaw and pitch (see the header for the convention): the mean face fitted to the landmarks by
// a perspective-n-point fit whose camera looks straight at the face: the principal point is
// the landmarks' centroid and the focal length the viewing distance in eye spans, so the
// angles are the head's turn away from the camera along the ray to the face, the same wherever
// the face is in the frame and whatever its size.
std::optional<std::pair<double, double>> headPose(const dlib::full_object_detection& shape) {
  std::vector<cv::Point3d> model;
  std::vector<cv::Point2d> image;
  cv::Point3d modelCentre;
  cv::Point2d imageCentre;
  for (const ModelPoint& m : kMeanFace) {
    model.emplace_back(m.x, m.y, m.z * kDepthScale);
    image.emplace_back(shape.part(m.index).x(), shape.part(m.index).y());
    modelCentre += model.back();
    imageCentre += image.back();
  }
  const double n = static_cast<double>(model.size());
  modelCentre /= n;
  imageCentre /= n;
  for (auto& p : model) p -= modelCentre;
  const double eyeSpan = cv::norm(image[18] - image[9]);  // points 45 and 36
  if (!(eyeSpan > 1)) return std::nullopt;
  const double focal = kViewingDistance * eyeSpan;
  const cv::Matx33d camera(focal, 0, imageCentre.x, 0, focal, imageCentre.y, 0, 0, 1);
  // Start from a face looking straight at the camera: the model's y and z flip in the
  // camera's frame (y down, z away from the camera).
  cv::Mat rvec = (cv::Mat_<double>(3, 1) << M_PI, 0, 0);
  cv::Mat tvec = (cv::Mat_<double>(3, 1) << 0, 0, kViewingDistance);
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

// The 68 points, fitted twice: the predictor starts from its mean face placed in the box, so
// where the detector's box sits on the face (which moves with the face's place in the frame and
// the detector's 8-pixel cells) changes what it finds. The second fit starts from the box in
// which the mean face best matches the first fit's points, which makes the points, and the
// head pose read from them, much steadier.
dlib::full_object_detection fittedShape(const DlibFaceLandmarksDetector::Models& models,
                                        const GreyImage& image,
                                        const dlib::rectangle& box) {
  const dlib::full_object_detection first = models.predictor(image, box);
  const auto canonical = dlib_answers::refittingBox(first, models.meanShape);
  return canonical ? models.predictor(image, *canonical) : first;
}

GreyImage greyImage(const cv::Mat& grey) {
  return {grey.ptr<std::uint8_t>(), grey.cols, grey.rows, static_cast<long>(grey.step)};
}

FaceLandmarksError error(int code, const std::string& description) {
  return FaceLandmarksError{code, description};
}

}  // namespace

namespace dlib_answers {

std::optional<dlib::rectangle> refittingBox(const dlib::full_object_detection& first,
                                            const std::vector<dlib::dpoint>& meanShape) {
  if (first.num_parts() != meanShape.size() || meanShape.empty()) return std::nullopt;
  // Least squares for scale s and offset t: s * mean + t = points.
  dlib::dpoint meanCentre, pointCentre;
  for (unsigned long i = 0; i < first.num_parts(); ++i) {
    meanCentre += meanShape[i];
    pointCentre += dlib::dpoint(first.part(i));
  }
  meanCentre /= first.num_parts();
  pointCentre /= first.num_parts();
  double along = 0, spread = 0;
  for (unsigned long i = 0; i < first.num_parts(); ++i) {
    const dlib::dpoint m = meanShape[i] - meanCentre;
    along += m.dot(dlib::dpoint(first.part(i)) - pointCentre);
    spread += m.dot(m);
  }
  const double scale = spread > 0 ? along / spread : 0;
  if (!(scale > 8)) return std::nullopt;
  const dlib::dpoint origin = pointCentre - scale * meanCentre;
  return dlib::rectangle(std::lround(origin.x()), std::lround(origin.y()),
                         std::lround(origin.x() + scale), std::lround(origin.y() + scale));
}

std::optional<FaceObservation> observationOf(const dlib::full_object_detection& shape,
                                             const dlib::rectangle& box, double confidence,
                                             int width, int height) {
  if (shape.num_parts() != 68) return std::nullopt;
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
  if (const auto pose = headPose(shape)) {
    observation.yaw = pose->first;
    observation.pitch = pose->second;
  }
  observation.confidence = confidence;
  return observation;
}

}  // namespace dlib_answers

DlibFaceLandmarksDetector::DlibFaceLandmarksDetector(std::string shapePredictorPath, int searchThreads)
    : path_(std::move(shapePredictorPath)),
      searchThreads_(searchThreads > 0 ? searchThreads : defaultSearchThreads()) {}

int DlibFaceLandmarksDetector::defaultSearchThreads() {
  return platform::compute::threadBudget();
}

DlibFaceLandmarksDetector::~DlibFaceLandmarksDetector() = default;

std::shared_ptr<DlibFaceLandmarksDetector> DlibFaceLandmarksDetector::shared() {
  // Never destroyed: a queue thread may still be searching a frame while the process exits.
  static const auto* const detector =
      new std::shared_ptr<DlibFaceLandmarksDetector>(std::make_shared<DlibFaceLandmarksDetector>());
  return *detector;
}

int DlibFaceLandmarksDetector::reductionFactor(int width, int height) {
  const int shorter = std::min(width, height);
  return std::clamp(shorter / kMinimumReducedSide, 1, kMostReduction);
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
    platform::compute::limitThreads();
    try {
      auto models = std::make_shared<Models>(path_, searchThreads_);
      if (models->predictor.parts() != 68) {
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
    // In bands on the search's threads: the open-hand check may hold OpenCV's own. A frame
    // of fewer rows than bands has a band for each row (OpenCV refuses an empty one).
    grey.create(bgra.rows, bgra.cols, CV_8UC1);
    const int bands = std::min(8, bgra.rows);
    std::atomic<int> next{0};
    std::atomic<bool> failed{false};
    models_->search.pool().run([&] {
      for (int band; (band = next++) < bands;) {
        const cv::Range rows(bgra.rows * band / bands, bgra.rows * (band + 1) / bands);
        cv::Mat part = grey.rowRange(rows);
        try {
          cv::cvtColor(bgra.rowRange(rows), part, cv::COLOR_BGRA2GRAY);
        } catch (const cv::Exception&) {
          failed = true;
        }
      }
    });
    if (failed) return error(5, "The pixel buffer's memory could not be read.");
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
      detections = models_->search(greyImage(reduced));
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
  const GreyImage full = greyImage(grey);
  for (const auto& [box, confidence] : faces) {
    const dlib::full_object_detection shape = fittedShape(*models_, full, box);
    if (auto observation = dlib_answers::observationOf(shape, box, confidence, width, height)) {
      observations.push_back(std::move(*observation));
    }
  }
  return observations;
}

}  // namespace platform::vision
