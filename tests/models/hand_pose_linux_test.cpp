// The Linux hand-pose detector on real photos: the shipped MediaPipe models through the
// bundle, the open-hand judgement of the palm detector on top, faces that must not pass, and
// the failures of a detector without its models.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <numbers>

#include "platform/image/image.hpp"
#include "platform/image/image_io.hpp"
#include "platform/vision/depthwise_convolution.hpp"
#include "platform/vision/hand_pose_linux.hpp"
#include "platform/vision/hand_pose_model.hpp"
#include "recognition/palm_detector.hpp"
#include "support/models_hooks.hpp"
#include "support/platform_fixture.hpp"
#include "support/recognition_input_hooks.hpp"

namespace {

using platform::Point;
using platform::image::PixelBuffer;
using platform::vision::DetectHumanHandPoseRequest;
using platform::vision::HandJointName;
using platform::vision::LinuxHandPoseDetector;
using platform::vision::RecognizedPoints;
using quorvel::PalmDetector;
namespace model = platform::vision::handmodel;

const std::string kDaria = "pexels-daria-shevtsova-1578238.jpg";    // a hand alone, flat on a wall
const std::string kRicardo = "pexels-ricardo-utsumi-1314554.jpg";   // an open palm, blue background
const std::string kNatalie = "pexels-natalie-3759656.jpg";          // a raised hand beside a face

std::shared_ptr<PixelBuffer> handPhoto(const std::string& name) {
  auto photo = platform::image::readImageFile(QUORVEL_SOURCE_DIR "/tests/data/hands/" + name);
  EXPECT_TRUE(photo) << name;
  return photo;
}

// `photos` side by side in a width x height frame (black around), each scaled to `tall`
// pixels high and turned by `degrees` (counter-clockwise) about the centre of its tile.
std::shared_ptr<PixelBuffer> framed(const std::vector<std::shared_ptr<PixelBuffer>>& photos, int width,
                                    int height, double tall, double degrees = 0) {
  const double tileWidth = width / double(photos.size());
  platform::image::Image scene;
  for (std::size_t i = 0; i < photos.size(); ++i) {
    const double scale = tall / photos[i]->height();
    scene = platform::image::Image::fromPixelBuffer(photos[i])
                .translatedBy(-photos[i]->width() / 2.0, -photos[i]->height() / 2.0)
                .transformed(platform::AffineTransform::rotation(degrees * std::numbers::pi / 180))
                .scaledBy(scale, scale)
                .translatedBy((i + 0.5) * tileWidth, height / 2.0)
                .cropped(platform::Rect(i * tileWidth, 0, tileWidth, height))
                .composited(scene);
  }
  return quorvel::testing::renderedFrame(scene, width, height);
}

RecognizedPoints allPoints(const platform::vision::HumanHandPoseObservation& hand) {
  return std::get<RecognizedPoints>(hand.recognizedPoints(platform::vision::HandJointsGroupName::all));
}

class LinuxHandPoseTest : public quorvel::testing::PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    ASSERT_TRUE(quorvel::testing::useBuiltBundleAndRealRuntime());
    useFreshDetector();
  }
  // A detector that has seen no earlier frame.
  void useFreshDetector() {
    detector = std::make_shared<LinuxHandPoseDetector>();
    platform::vision::installHandPoseDetector(detector);
  }
  std::vector<platform::vision::HumanHandPoseObservation> hands(PixelBuffer& frame, int maximum = 2) {
    platform::image::BaseAddressLock lock(frame, platform::image::LockFlags::readOnly);
    DetectHumanHandPoseRequest request;
    request.maximumHandCount = maximum;
    const auto error = detector->perform(request, {frame.baseAddress(), frame.width(), frame.height(), frame.bytesPerRow()});
    EXPECT_FALSE(error) << error->localizedDescription;
    return request.results;
  }
  bool openHand(PixelBuffer& frame) {
    useFreshDetector();
    return PalmDetector::openHandPresent(frame);
  }
  std::shared_ptr<LinuxHandPoseDetector> detector;
};

// The networks' 5 x 5 depthwise kernel against the definition, for both strides, uneven
// borders and planes whose width is no multiple of a vector.
TEST(HandModelTest, DepthwiseKernelIsTheConvolutionItReplaces) {
  using platform::vision::DepthwiseShape;
  for (const DepthwiseShape shape : {DepthwiseShape{3, 9, 13, 1, 2, 2, 2, 2}, DepthwiseShape{2, 12, 11, 2, 0, 1, 2, 0}}) {
    std::vector<float> input(static_cast<std::size_t>(shape.channels * shape.height * shape.width));
    std::vector<float> weights(static_cast<std::size_t>(shape.channels * 25)), bias{0.5f, -1.0f, 2.0f};
    for (std::size_t i = 0; i < input.size(); ++i) input[i] = std::sin(0.7f * float(i));
    for (std::size_t i = 0; i < weights.size(); ++i) weights[i] = std::cos(1.3f * float(i));
    const int oh = shape.outputHeight(), ow = shape.outputWidth();
    std::vector<float> output(static_cast<std::size_t>(shape.channels * oh * ow), 99.0f);
    platform::vision::depthwiseConvolution5x5(shape, input.data(), weights.data(), bias.data(), output.data(), 0,
                                              shape.channels);
    for (int c = 0; c < shape.channels; ++c) {
      for (int y = 0; y < oh; ++y) {
        for (int x = 0; x < ow; ++x) {
          double want = bias[static_cast<std::size_t>(c)];
          for (int i = 0; i < 5; ++i) {
            for (int j = 0; j < 5; ++j) {
              const int iy = y * shape.stride - shape.padTop + i, ix = x * shape.stride - shape.padLeft + j;
              if (iy < 0 || iy >= shape.height || ix < 0 || ix >= shape.width) continue;
              want += double(weights[static_cast<std::size_t>(c * 25 + i * 5 + j)]) *
                      input[static_cast<std::size_t>((c * shape.height + iy) * shape.width + ix)];
            }
          }
          EXPECT_NEAR(output[static_cast<std::size_t>((c * oh + y) * ow + x)], want, 1e-4) << c << " " << y << " " << x;
        }
      }
    }
  }
}

TEST(HandModelTest, AnchorsDecodingAndSuppression) {
  const auto& anchors = model::palmAnchors();
  ASSERT_EQ(anchors.size(), 896u);
  EXPECT_EQ(anchors[0], (Point{1 / 32.0, 1 / 32.0}));    // 16 x 16 grid, two a cell
  EXPECT_EQ(anchors[1], anchors[0]);
  EXPECT_EQ(anchors[2], (Point{3 / 32.0, 1 / 32.0}));
  EXPECT_EQ(anchors[512], (Point{1 / 16.0, 1 / 16.0}));  // 8 x 8 grid, six a cell
  EXPECT_EQ(anchors[517], anchors[512]);
  EXPECT_EQ(anchors[895], (Point{15 / 16.0, 15 / 16.0}));

  // A 1280 x 720 frame sits in the input 128 wide, 72 high, 28 pixels down.
  const auto box = model::Letterbox::fit(1280, 720);
  EXPECT_EQ(box.scale, 0.1);
  EXPECT_EQ(box.padY, 28);
  std::vector<float> regressors(896 * 18, 0.0f), logits(896, -5.0f);
  logits[512] = 2.0f;  // anchor centre (8, 8) in the input: frame (80, -200)
  float* raw = &regressors[512 * 18];
  raw[0] = 56, raw[1] = 60, raw[2] = 20, raw[3] = 20;  // centre (64, 68): frame (640, 400), 200 wide
  raw[4] = 56, raw[5] = 70;                             // wrist (640, 500)
  const auto palms = model::decodePalms(regressors.data(), logits.data(), box, 0.5f);
  ASSERT_EQ(palms.size(), 1u);
  EXPECT_NEAR(palms[0].score, 1 / (1 + std::exp(-2.0)), 1e-6);
  EXPECT_NEAR(palms[0].centre.x, 640, 1e-9);
  EXPECT_NEAR(palms[0].centre.y, 400, 1e-9);
  EXPECT_NEAR(palms[0].width, 200, 1e-9);
  EXPECT_NEAR(palms[0].keypoints[0].y, 500, 1e-9);

  // Two overlapping detections merge, weighted by score; a distant one stays apart.
  model::PalmDetection a = palms[0], b = palms[0], far = palms[0];
  a.score = 0.75f;
  b.score = 0.25f;
  b.centre.x += 40;
  far.centre.x += 600;
  far.score = 0.6f;
  const auto merged = model::weightedNonMaxSuppression({b, far, a});
  ASSERT_EQ(merged.size(), 2u);
  EXPECT_EQ(merged[0].score, 0.75f);
  EXPECT_NEAR(merged[0].centre.x, 650, 1e-9);
  EXPECT_EQ(merged[1].centre.x, far.centre.x);

  // The crop of a hand pointing right is turned a quarter clockwise, its top towards the
  // fingers, and moved half a box that way.
  model::PalmDetection right = palms[0];
  right.keypoints[model::palmWrist] = {600, 400};
  right.keypoints[model::palmMiddleBase] = {700, 400};
  const auto region = model::regionFromPalm(right);
  EXPECT_NEAR(region.rotation, std::numbers::pi / 2, 1e-9);
  EXPECT_NEAR(region.side, 520, 1e-9);
  EXPECT_NEAR(region.centre.x, 740, 1e-9);
  EXPECT_NEAR(region.toFrame(0.5, 0).x, 1000, 1e-9);
}

TEST_F(LinuxHandPoseTest, AHandHeldUpIsFollowedByTheLandmarkModelHandsAreCountedAndNoPixelsFail) {
  const auto frame = framed({handPhoto(kDaria)}, 1280, 720, 600);
  const auto first = hands(*frame, 1);
  EXPECT_EQ(detector->lastWork().palmRuns, 1);
  const auto next = hands(*frame, 1);
  EXPECT_EQ(detector->lastWork().palmRuns, 0);
  EXPECT_EQ(detector->lastWork().landmarkRuns, 1);
  ASSERT_EQ(first.size(), 1u);
  ASSERT_EQ(next.size(), 1u);
  const auto a = allPoints(first[0]), b = allPoints(next[0]);
  for (const auto& [joint, point] : a) {
    EXPECT_NEAR(point.location.x, b.at(joint).location.x, 0.01) << handJointNameText(joint);
    EXPECT_NEAR(point.location.y, b.at(joint).location.y, 0.01) << handJointNameText(joint);
  }
  // The hand goes: the palm detector looks again, and finds nothing.
  const auto empty = PixelBuffer::create(1280, 720);
  EXPECT_TRUE(hands(*empty, 1).empty());
  EXPECT_EQ(detector->lastWork().palmRuns, 1);

  // Two hands: as many as the request asks for.
  const auto two = framed({handPhoto(kDaria), handPhoto(kRicardo)}, 1280, 720, 560);
  EXPECT_EQ(hands(*two, 2).size(), 2u);
  EXPECT_EQ(hands(*two, 3).size(), 2u);
  EXPECT_EQ(hands(*two, 1).size(), 1u);
  EXPECT_EQ(hands(*two, 0).size(), 0u);

  // A frame without pixels fails every time.
  for (int i = 0; i < 2; ++i) {
    DetectHumanHandPoseRequest request;
    const auto error = detector->perform(request, {nullptr, 64, 48, 256});
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, LinuxHandPoseDetector::kUnreadableFrameCode);
  }
}

TEST_F(LinuxHandPoseTest, PhotosOfAHandAreFoundWithTheirJointsInPlaceAndAreAnOpenHand) {
  // Upright, then turned a quarter (fingers to the left) in a 1280 x 720 frame.
  for (const double degrees : {0.0, 90.0}) {
    useFreshDetector();
    const auto frame = framed({handPhoto(kRicardo)}, 1280, 720, 600, degrees);
    const auto found = hands(*frame, 1);
    ASSERT_EQ(found.size(), 1u) << degrees;
    const auto points = allPoints(found[0]);
    ASSERT_EQ(points.size(), 21u);
    for (const auto& [joint, point] : points) {
      EXPECT_GE(point.confidence, 0.5f) << handJointNameText(joint);
      EXPECT_NEAR(point.confidence, found[0].confidence(), 1e-6);
    }
    const Point wrist = points.at(HandJointName::wrist).location;
    const Point tip = points.at(HandJointName::middleTip).location;
    // Normalised, origin at the bottom left: upright fingers are above the wrist; turned,
    // they point left.
    const double along = degrees == 0 ? tip.y - wrist.y : wrist.x - tip.x;
    const double across = degrees == 0 ? tip.x - wrist.x : tip.y - wrist.y;
    EXPECT_GT(along, degrees == 0 ? 0.45 : 0.25) << degrees;
    EXPECT_LT(std::abs(across), 0.1) << degrees;
    EXPECT_TRUE(PalmDetector::isOpenHand(*PalmDetector::landmarks(found[0])));
  }
  for (const auto& name : {kDaria, kRicardo}) {
    EXPECT_TRUE(openHand(*handPhoto(name))) << name;
    EXPECT_TRUE(openHand(*framed({handPhoto(name)}, 1280, 720, 720))) << name << " in 1280 x 720";
    EXPECT_TRUE(openHand(*framed({handPhoto(name)}, 1280, 720, 400))) << name << " 400 pixels tall";
  }
  // The hand raised beside a face takes about a quarter of the photo: reach 0.23, above the
  // 0.12 the rule needs.
  const auto beside = handPhoto(kNatalie);
  EXPECT_TRUE(openHand(*beside));
  const auto found = hands(*beside, 1);
  ASSERT_EQ(found.size(), 1u);
  const auto hand = PalmDetector::landmarks(found[0]);
  ASSERT_TRUE(hand);
  EXPECT_EQ(hand->tips.size(), 5u);
  EXPECT_NEAR(PalmDetector::reach(*hand), 0.23, 0.02);
  EXPECT_TRUE(logs().entries().empty());
}

TEST_F(LinuxHandPoseTest, FacesWithoutAHandAreNotAnOpenHand) {
  std::vector<std::shared_ptr<PixelBuffer>> frames;
  for (const auto& name : {"bald_guys.jpg", "dogs.jpg", "2008_001322.jpg"}) {
    frames.push_back(quorvel::testing::examplePhoto(std::string("faces/") + name));
  }
  for (const auto& path : quorvel::testing::johnsPhotos()) {
    const auto photo = platform::image::readImageFile(path);
    ASSERT_TRUE(photo) << path;
    frames.push_back(photo);                                // the face fills the picture
    frames.push_back(framed({photo}, 1280, 720, 400));     // 400 pixels tall in a 720p frame
  }
  int open = 0;
  for (const auto& frame : frames) open += openHand(*frame);
  EXPECT_EQ(open, 0) << "of " << frames.size() << " frames";
}

// Models that cannot be loaded fail the first request, once: the open-hand test logs one
// line, not one a frame.
class UnloadableHandPoseTest : public quorvel::testing::PlatformTest {};

TEST_F(UnloadableHandPoseTest, FailsOnceThenFindsNoHands) {
  for (const std::string what : {"bundle", "missing", "broken"}) {
    SCOPED_TRACE(what);
    logs().clear();
    std::shared_ptr<LinuxHandPoseDetector> detector;
    std::string expected;
    if (what == "bundle") {  // the test's bundle has no HandPose folder
      detector = std::make_shared<LinuxHandPoseDetector>();
      expected = "the application bundle has no HandPose folder";
    } else {
      const std::string folder = home() + "/HandPose-" + what;
      std::filesystem::create_directories(folder);
      for (const char* file : {LinuxHandPoseDetector::kPalmModelFile, LinuxHandPoseDetector::kLandmarkModelFile}) {
        if (what == "broken") std::ofstream(folder + "/" + file) << "not a network";
      }
      detector = std::make_shared<LinuxHandPoseDetector>(folder);
      expected = what == "broken" ? "cannot be read" : "no model file at " + folder;
    }
    platform::vision::installHandPoseDetector(detector);
    std::vector<std::uint8_t> pixels(64 * 48 * 4, 0);
    const platform::vision::HandPoseFrame frame{pixels.data(), 64, 48, 64 * 4};
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(PalmDetector::openHandPresent(frame));
    const auto lines = logs().messages("face");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("Hand pose request failed: The hand pose models could not be loaded: ", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(expected), std::string::npos) << lines[0];
    DetectHumanHandPoseRequest request;
    EXPECT_FALSE(detector->perform(request, frame));
    EXPECT_TRUE(request.results.empty());
  }
}

}  // namespace
