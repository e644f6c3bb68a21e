// The Linux face search and shape model give exactly what dlib's own detector and shape
// predictor give, on one thread and on several.
#include <gtest/gtest.h>

#include <dlib/image_processing.h>
#include <dlib/image_processing/frontal_face_detector.h>

#include <string>
#include <vector>

#include "platform/image/image_io.hpp"
#include "platform/vision/dlib_face_search.hpp"
#include "platform/vision/face_landmarks_linux.hpp"
#include "support/recognition_input_hooks.hpp"

namespace quorvel::testing {
namespace {

using platform::vision::GreyImage;

// A grey copy of a photo, in dlib's own image type.
dlib::array2d<unsigned char> grey(platform::image::PixelBuffer& photo) {
  dlib::array2d<unsigned char> out(photo.height(), photo.width());
  platform::image::BaseAddressLock lock(photo, platform::image::LockFlags::readOnly);
  for (int y = 0; y < photo.height(); ++y) {
    const std::uint8_t* row = photo.baseAddress() + y * photo.bytesPerRow();
    for (int x = 0; x < photo.width(); ++x) out[y][x] = (row[4 * x] + 2 * row[4 * x + 1] + row[4 * x + 2]) / 4;
  }
  return out;
}

GreyImage view(const dlib::array2d<unsigned char>& image) {
  return {static_cast<const std::uint8_t*>(dlib::image_data(image)), image.nc(), image.nr(), dlib::width_step(image)};
}

TEST(DlibFaceSearchTest, FindsDlibsFacesAndFitsDlibsPoints) {
  std::vector<std::string> photos = {dlibExamplesFolder() + "/faces/2008_002506.jpg",
                                     dlibExamplesFolder() + "/faces/2009_004587.jpg",
                                     dlibExamplesFolder() + "/faces/Tom_Cruise_avp_2014_4.jpg"};
  const auto johns = johnsPhotos();
  ASSERT_GE(johns.size(), 4u);
  photos.insert(photos.end(), johns.begin(), johns.begin() + 4);

  dlib::frontal_face_detector reference = dlib::get_frontal_face_detector();
  dlib::shape_predictor predictor;
  dlib::deserialize(platform::vision::DlibFaceLandmarksDetector::kDefaultShapePredictorPath) >> predictor;
  const platform::vision::DlibShapeModel model(platform::vision::DlibFaceLandmarksDetector::kDefaultShapePredictorPath);
  platform::vision::DlibFaceSearch alone(1), together(4);
  ASSERT_EQ(together.threads(), 4);

  std::size_t faces = 0;
  for (const auto& path : photos) {
    const auto photo = platform::image::readImageFile(path);
    ASSERT_TRUE(photo) << path;
    const dlib::array2d<unsigned char> image = grey(*photo);
    std::vector<dlib::rect_detection> expected;
    reference(image, expected, 0.0);
    for (auto* search : {&alone, &together}) {
      const auto found = (*search)(view(image));
      ASSERT_EQ(found.size(), expected.size()) << path;
      for (std::size_t i = 0; i < found.size(); ++i) {
        EXPECT_EQ(found[i].rect, expected[i].rect) << path;
        EXPECT_EQ(found[i].detection_confidence, expected[i].detection_confidence) << path;
        EXPECT_EQ(found[i].weight_index, expected[i].weight_index) << path;
      }
    }
    for (const auto& detection : expected) {
      const dlib::full_object_detection want = predictor(image, detection.rect);
      const dlib::full_object_detection got = model(view(image), detection.rect);
      ASSERT_EQ(got.num_parts(), want.num_parts());
      for (unsigned long i = 0; i < want.num_parts(); ++i) EXPECT_EQ(got.part(i), want.part(i)) << path << " point " << i;
      ++faces;
    }
  }
  EXPECT_GE(faces, 10u);
}

TEST(DlibFaceSearchTest, AMissingOrForeignModelFileIsASerialisationError) {
  EXPECT_THROW(platform::vision::DlibShapeModel("/nonexistent/shape.dat"), dlib::serialization_error);
  const std::string detectorFile = dlibExamplesFolder() + "/faces/dogs.jpg";
  EXPECT_THROW(platform::vision::DlibShapeModel{detectorFile}, dlib::serialization_error);
}

}  // namespace
}  // namespace quorvel::testing
