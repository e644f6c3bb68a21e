// The face-landmarks layer reading dlib's answer for one face: a box and 68 points (any
// integers the predictor may give) in a frame of some size, turned into an observation with
// normalised regions and head pose, and the box of the second fit.
#include "fuzz_input.hpp"
#include "platform/vision/face_landmarks_dlib.hpp"

namespace {

// A mean face of the predictor's kind: 68 points spread over the unit box.
const std::vector<dlib::dpoint>& meanShape() {
  static const std::vector<dlib::dpoint> shape = [] {
    std::vector<dlib::dpoint> points;
    for (int i = 0; i < 68; ++i) points.emplace_back(0.1 + 0.8 * (i % 9) / 8.0, 0.1 + 0.8 * (i / 9) / 7.0);
    return points;
  }();
  return shape;
}

std::size_t count(const std::optional<platform::vision::FaceLandmarkRegion>& region) {
  return region ? region->pointCount() : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quorvel::fuzz::Input input(data, size);
  const int width = 1 + input.take<std::uint16_t>();
  const int height = 1 + input.take<std::uint16_t>();
  const long left = input.take<std::int32_t>(), top = input.take<std::int32_t>();
  const long right = input.take<std::int32_t>(), bottom = input.take<std::int32_t>();
  const dlib::rectangle box(left, top, right, bottom);
  std::vector<dlib::point> parts;
  for (int i = 0; i < 68; ++i) {
    const long x = input.take<std::int32_t>();
    parts.emplace_back(x, input.take<std::int32_t>());
  }
  const dlib::full_object_detection shape(box, parts);

  const auto observation = platform::vision::dlib_answers::observationOf(shape, box, 1.0, width, height);
  FUZZ_CHECK(observation && observation->landmarks);
  const auto& landmarks = *observation->landmarks;
  FUZZ_CHECK(count(landmarks.faceContour) == 17 && count(landmarks.nose) == 9 &&
             count(landmarks.leftEye) == 6 && count(landmarks.rightEye) == 6 &&
             count(landmarks.outerLips) == 12 && count(landmarks.innerLips) == 8);
  FUZZ_CHECK(observation->yaw.has_value() == observation->pitch.has_value());
  if (observation->yaw) FUZZ_CHECK(std::isfinite(*observation->yaw) && std::isfinite(*observation->pitch));
  (void)platform::vision::dlib_answers::refittingBox(shape, meanShape());
  return 0;
}
