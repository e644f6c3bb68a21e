// "--diagnose-alignment" and "--diagnose-on-native-crop" on Debian's dlib example photos,
// with the converted dlib weights and the real face-landmarks detector; and how the
// diagnostics write numbers, names and comparison rows.
#include "app/diagnostics_alignment.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <regex>
#include <sstream>

#include "app/diagnostics_text.hpp"
#include "platform/image/image_io.hpp"
#include "platform/image/pixel_buffer.hpp"
#include "recognition/face_aligner.hpp"
#include "recognition/face_detector.hpp"
#include "recognition/face_models.hpp"
#include "recognition/face_tensors.hpp"
#include "recognition/native_dlib.hpp"
#include "support/B_helpers.hpp"
#include "support/face_models_hooks.hpp"
#include "support/models_hooks.hpp"
#include "support/platform_fixture.hpp"
#include "support/recognition_input_hooks.hpp"
#include "support/ui_updater_hooks.hpp"

namespace {

namespace diag = quorvel::diagnostics;
namespace fs = std::filesystem;
using quorvel::testing::linesOf;
using quorvel::testing::PlatformTest;

// Runs the test from `folder` and goes back afterwards.
class CurrentDirectory {
 public:
  explicit CurrentDirectory(const std::string& folder) : previous_(fs::current_path()) {
    fs::current_path(folder);
  }
  ~CurrentDirectory() { fs::current_path(previous_); }

 private:
  fs::path previous_;
};

const std::string kTitle =
    "Pairwise distances (dlib Euclidean \u2014 under ~0.6 means \"same person\" by dlib's own "
    "rule):";

// Doubles in their shortest form with a fraction part (exponent form below 1e-4 and above
// 2^53); floats in the shortest form that reads back to the same 32-bit value.
TEST(DiagnosticsText, NumbersAreShortestWithAFractionPart) {
  const std::pair<double, const char*> doubles[] = {
      {220.0, "220.0"}, {0.25, "0.25"}, {-0.5, "-0.5"}, {100000.0, "100000.0"}, {1234.5678, "1234.5678"},
      {0.0, "0.0"}, {0.0001, "0.0001"}, {0.00001, "1e-05"}, {9007199254740992.0, "9007199254740992.0"},
      {1e16, "1e+16"}, {std::nan(""), "nan"}, {std::numeric_limits<double>::infinity(), "inf"}};
  for (const auto& [value, text] : doubles) EXPECT_EQ(diag::description(value), text);
  const std::pair<float, const char*> floats[] = {{0.1f, "0.1"},  // not 0.10000000149011612
                                                  {0.33333334f, "0.33333334"},
                                                  {16777216.0f, "16777216.0"},
                                                  {16777218.0f, "1.6777218e+07"},
                                                  {3e-5f, "3e-05"}};
  for (const auto& [value, text] : floats) EXPECT_EQ(diag::description(value), text);
  for (float v : {0.1f, -0.7071068f, 123.456f, 1e-3f, 5.5e-6f}) {
    EXPECT_EQ(std::stof(diag::description(v)), v) << diag::description(v);
  }
}

TEST(DiagnosticsText, PairwiseRowsCoverEveryPairInOrderAndMarkOnlyDistancesBelowPointSix) {
  // a-b is 0.6 exactly: no match.
  const std::vector<diag::Sample> samples = {
      {"a.jpg", {0.0f, 0.0f}},
      {"b.jpg", {0.6f, 0.0f}},
      {"c.jpg", {0.0f, 0.3f}},
      {"d.jpg", {0.0f, 0.0f}},
  };
  std::ostringstream out;
  diag::printPairwiseRows(samples, out);
  EXPECT_EQ(out.str(),
            "  a.jpg vs b.jpg: 0.6000 \n"
            "  a.jpg vs c.jpg: 0.3000 \u2190 WOULD MATCH\n"
            "  a.jpg vs d.jpg: 0.0000 \u2190 WOULD MATCH\n"
            "  b.jpg vs c.jpg: 0.6708 \n"
            "  b.jpg vs d.jpg: 0.6000 \n"
            "  c.jpg vs d.jpg: 0.3000 \u2190 WOULD MATCH\n");

  std::ostringstream none;
  diag::printPairwiseRows({samples[0]}, none);
  EXPECT_EQ(none.str(), "");
}

class AlignmentDiagnosticsTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    quorvel::testing::useRealFaceLandmarks();
    ASSERT_TRUE(fs::exists(quorvel::testing::dlibWeightsPath()))
        << "missing dlib weights: run scripts/make-dlib-weights";
    tag_ = "quorvel-test-" + std::to_string(::getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name();
  }
  void TearDown() override {
    for (const auto& crop : crops_) fs::remove(crop);
    PlatformTest::TearDown();
  }
  // A copy of `source` in the test's home under a name no other run uses.
  std::string photo(const std::string& source, const std::string& name,
                    const std::string& folder = "") {
    const std::string dir = home() + "/photos" + (folder.empty() ? "" : "/" + folder);
    fs::create_directories(dir);
    const std::string target = dir + "/" + tag_ + "-" + name;
    fs::copy_file(source, target, fs::copy_options::overwrite_existing);
    crops_.push_back(std::string(diag::kAlignedCropPrefix) + tag_ + "-" + name);
    return target;
  }
  std::string cropOf(const std::string& name) {
    return std::string(diag::kAlignedCropPrefix) + tag_ + "-" + name;
  }
  std::string johns(const std::string& person, int index = 0) {
    std::vector<std::string> found;
    for (const auto& p : quorvel::testing::johnsPhotos()) {
      if (p.find("/" + person + "/") != std::string::npos) found.push_back(p);
    }
    EXPECT_GT(found.size(), static_cast<std::size_t>(index)) << person;
    return found.at(static_cast<std::size_t>(index));
  }
  // The dlib descriptor of the largest face of a photo, and of a saved crop as it is.
  quorvel::FaceDescriptor descriptorOfPhoto(const std::string& path) {
    const auto frame = platform::image::readImageFile(path);
    const auto face = quorvel::FaceDetector::shared().largestFace(frame);
    const auto aligned =
        quorvel::FaceAligner::shared().alignedFace(frame, *face, quorvel::FaceEngineSpec::dlib);
    return *quorvel::NativeDlib::embedding(*aligned, *quorvel::FaceAligner::shared().ciContext());
  }
  quorvel::FaceDescriptor descriptorOfCrop(const std::string& name) {
    const auto crop = platform::image::readImageFile(cropOf(name));
    return *quorvel::NativeDlib::embedding(platform::image::Image::fromPixelBuffer(crop),
                                           *quorvel::FaceAligner::shared().ciContext());
  }
  int align(std::vector<std::string> paths) {
    CurrentDirectory inSource(QUORVEL_SOURCE_DIR);
    paths.insert(paths.begin(), {"quorvel", "--diagnose-alignment"});
    out.str("");
    return diag::runDiagnoseAlignment(paths, out);
  }
  std::string tag_;
  std::vector<std::string> crops_;
  std::ostringstream out;
};

TEST_F(AlignmentDiagnosticsTest, FewerThanTwoPhotosIsAUsageErrorAndElsewhereTheWeightsAreMissing) {
  for (std::vector<std::string> paths : {std::vector<std::string>{}, {"only.jpg"}}) {
    EXPECT_EQ(align(paths), 1);
    EXPECT_EQ(out.str(), "usage: --diagnose-alignment <photo1> <photo2> [photo3 ...]\n");
  }
  // The photos are what follows the switch, not what precedes it.
  out.str("");
  EXPECT_EQ(diag::runDiagnoseAlignment({"quorvel", "a.jpg", "b.jpg", "--diagnose-alignment"}, out),
            1);
  EXPECT_FALSE(quorvel::NativeDlib::isLoaded());
  // Outside the project root the weights are not found.
  CurrentDirectory elsewhere(home());
  out.str("");
  EXPECT_EQ(diag::runDiagnoseAlignment({"quorvel", "--diagnose-alignment", "a.jpg", "b.jpg"}, out),
            1);
  EXPECT_EQ(out.str(),
            "Could not load tools/convert/dlib_face_recognition_resnet_model_v1.dat \u2014 run "
            "from the project root.\n");
}

// The faces are dlib's whatever the settings select.
TEST_F(AlignmentDiagnosticsTest, ComparesTheFacesOfThePhotosAndSavesTheirCrops) {
  defaults().setString("recognitionEngine", "arcface");
  const std::string a = photo(johns("John_Salley", 0), "salley1.jpg");
  const std::string b = photo(johns("John_Salley", 1), "salley2.jpg");
  const std::string c = photo(johns("John_Savage", 0), "savage.jpg");
  const std::string copy = photo(johns("John_Salley", 0), "salley1-copy.jpg");
  const std::string dogs = photo(quorvel::testing::dlibExamplesFolder() + "/faces/dogs.jpg",
                                 "dogs.jpg");
  const std::string missing = home() + "/no-such-photo.jpg";
  ASSERT_EQ(align({a, missing, dogs, b, c, copy}), 0);
  EXPECT_TRUE(quorvel::testing::simulatedML().loadAttempts().empty());

  const auto printed = linesOf(out.str());
  ASSERT_EQ(printed.size(), 2u + 2 * 4 + 3 + 6 + 1) << out.str();
  const std::regex processed("  processed (.*) \u2014 face at \\((-?[0-9.e+-]+), (-?[0-9.e+-]+), "
                             "([0-9.e+-]+), ([0-9.e+-]+)\\)");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(printed[0], m, processed)) << printed[0];
  EXPECT_EQ(m[1].str(), a);
  // Every number has a fraction part; the box is the detector's, normalised.
  for (int i = 2; i <= 5; ++i) EXPECT_NE(m[i].str().find_first_of(".e"), std::string::npos);
  const auto face = quorvel::FaceDetector::shared().largestFace(platform::image::readImageFile(a));
  ASSERT_TRUE(face);
  EXPECT_NEAR(std::stod(m[2].str()), face->boundingBox.origin.x, 1e-12);
  EXPECT_NEAR(std::stod(m[5].str()), face->boundingBox.size.height, 1e-12);
  const auto saved = [this](const char* name) { return "    saved crop to " + cropOf(name); };
  const std::string any = "(processed)";
  const std::vector<std::string> expected = {
      any, saved("salley1.jpg"), "  could not load " + missing, "  no face detected in " + dogs,
      any, saved("salley2.jpg"), any, saved("savage.jpg"), any, saved("salley1-copy.jpg"), "", kTitle, ""};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    if (expected[i] == any) {
      EXPECT_TRUE(std::regex_match(printed[i], processed)) << printed[i];
    } else {
      EXPECT_EQ(printed[i], expected[i]);
    }
  }
  EXPECT_EQ(printed.back(), "");

  // Rows: every pair in order; the copy matches its original at distance 0.
  const std::string s1 = tag_ + "-salley1.jpg", s2 = tag_ + "-salley2.jpg",
                    sv = tag_ + "-savage.jpg", cp = tag_ + "-salley1-copy.jpg";
  const std::vector<std::pair<std::string, std::string>> pairs = {
      {s1, s2}, {s1, sv}, {s1, cp}, {s2, sv}, {s2, cp}, {sv, cp}};
  // (How a row is written and marked: the pairwise-rows test.)
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    EXPECT_TRUE(printed[13 + i].starts_with("  " + pairs[i].first + " vs " + pairs[i].second + ": ")) << printed[13 + i];
  }
  EXPECT_EQ(printed[15], "  " + s1 + " vs " + cp + ": 0.0000 \u2190 WOULD MATCH");
  // Different people are told apart.
  EXPECT_FALSE(printed[14].ends_with("WOULD MATCH")) << printed[14];

  // The crops are PNGs whatever the file name's extension says, of the aligned face's extent
  // in whole pixels (inside the 150-pixel template square).
  for (const char* name : {"salley1.jpg", "salley2.jpg", "savage.jpg", "salley1-copy.jpg"}) {
    std::ifstream file(cropOf(name), std::ios::binary);
    char magic[4] = {};
    file.read(magic, 4);
    EXPECT_EQ(std::string(magic + 1, 3), "PNG") << name;
    auto crop = platform::image::readImageFile(cropOf(name));
    ASSERT_TRUE(crop) << name;
    EXPECT_TRUE(crop->width() >= 130 && crop->width() <= 150 && crop->height() >= 130 && crop->height() <= 150)
        << name << ": " << crop->width() << " x " << crop->height();
  }
  EXPECT_FALSE(fs::exists(cropOf("dogs.jpg")));
  // A saved crop is the aligned face the dlib network saw: embedding it again gives (nearly)
  // the descriptor of the photo.
  EXPECT_LT(quorvel::MatchEngine::euclidean(descriptorOfPhoto(a), descriptorOfCrop("salley1.jpg")), 0.05);
  // It only obtains the application object.
  EXPECT_EQ(quorvel::testing::simulatedApplication().obtainedCount(), 1);
  EXPECT_TRUE(quorvel::testing::simulatedApplication().policyRequests().empty());
  std::error_code ignored;
  fs::copy_file(cropOf("salley1.jpg"),
                quorvel::testing::testOutputFolder() + "/diagnose_alignment_crop.png",
                fs::copy_options::overwrite_existing, ignored);
}

TEST_F(AlignmentDiagnosticsTest, PhotosSharingAFileNameWriteOneCropTheLaterWins) {
  const std::string first = photo(johns("John_Salley", 0), "same.jpg", "one");
  const std::string later = photo(johns("John_Savage", 0), "same.jpg", "two");
  ASSERT_EQ(align({first, later}), 0);
  const auto printed = linesOf(out.str());
  EXPECT_EQ(printed[1], "    saved crop to " + cropOf("same.jpg"));
  EXPECT_EQ(printed[3], "    saved crop to " + cropOf("same.jpg"));
  EXPECT_TRUE(printed[7].starts_with("  " + tag_ + "-same.jpg vs " + tag_ + "-same.jpg: "));
  // The crop on disk is the later photo's.
  const auto onDisk = descriptorOfCrop("same.jpg");
  EXPECT_LT(quorvel::MatchEngine::euclidean(onDisk, descriptorOfPhoto(later)), 0.1);
  EXPECT_GT(quorvel::MatchEngine::euclidean(onDisk, descriptorOfPhoto(first)), 0.3);
}

TEST_F(AlignmentDiagnosticsTest, ABufferThatCannotBeMadeOrAFaceThatCannotBeAlignedSkipsThatPhotoOnly) {
  // The simulated detector: a face without landmarks cannot be aligned.
  platform::vision::installFaceLandmarksDetector(nullptr);
  auto& simulated = quorvel::testing::simulatedFaceLandmarks();
  platform::vision::installFaceLandmarksDetector(
      std::shared_ptr<platform::vision::FaceLandmarksDetector>(
          std::shared_ptr<void>(), &simulated));
  platform::vision::FaceObservation bare;
  bare.boundingBox = platform::Rect(0.2, 0.2, 0.6, 0.6);
  simulated.setDefault(std::vector<platform::vision::FaceObservation>{bare});
  const std::string a = photo(johns("John_Salley", 0), "a.jpg");
  const std::string b = photo(johns("John_Salley", 1), "b.jpg");
  platform::image::faults::failNextPixelBufferCreations(1);
  ASSERT_EQ(align({a, b}), 0);
  platform::image::faults::failNextPixelBufferCreations(0);
  EXPECT_EQ(linesOf(out.str()), (std::vector<std::string>{"  buffer failed for " + a,
                                                          "  pipeline failed for " + b, "", kTitle, "", ""}));
  EXPECT_FALSE(fs::exists(cropOf("b.jpg")));
}

// --- "--diagnose-on-native-crop" ---------------------------------------------------------

class NativeCropDiagnosticsTest : public PlatformTest {
 protected:
  int crops(std::vector<std::string> paths, const diag::TensorEmbedder* embedder = nullptr) {
    paths.insert(paths.begin(), {"quorvel", "--diagnose-on-native-crop"});
    out.str("");
    return embedder ? diag::runDiagnoseOnNativeCrop(paths, out, *embedder)
                    : diag::runDiagnoseOnNativeCrop(paths, out);
  }
  std::ostringstream out;
};

const std::string kCropTitle = "Pairwise distances \u2014 OUR tensor+model on DLIB'S OWN crop:";

TEST_F(NativeCropDiagnosticsTest, FewerThanTwoCropsIsAUsageErrorAndWithoutATensorModelEveryCropFails) {
  for (std::vector<std::string> paths : {std::vector<std::string>{}, {"one.png"}}) {
    EXPECT_EQ(crops(paths), 1);
    EXPECT_EQ(out.str(), "usage: --diagnose-on-native-crop <crop1.png> <crop2.png> [...]\n");
  }
  // The model host has no tensor model for dlib. Run from a folder without tools/convert:
  // this switch never loads the dlib weights.
  CurrentDirectory elsewhere(home());
  const auto johns = quorvel::testing::johnsPhotos();
  const std::string missing = home() + "/missing.png";
  EXPECT_EQ(crops({johns[0], missing, johns[1]}), 0);
  EXPECT_EQ(out.str(), "  pipeline failed for " + johns[0] + "\n  could not load " + missing +
                           "\n  pipeline failed for " + johns[1] + "\n\n" + kCropTitle + "\n\n");
  EXPECT_FALSE(quorvel::FaceModels::shared().loadFailed());
  EXPECT_FALSE(quorvel::NativeDlib::isLoaded());
}

TEST_F(NativeCropDiagnosticsTest, PrintsTensorStatisticsAndDistancesOfWhatTheModelGives) {
  // An embedder that reads its input: the first 128 values of the tensor.
  std::vector<std::vector<float>> inputs;
  const diag::TensorEmbedder embedder = [&](const platform::ml::MultiArray& input,
                                            const quorvel::FaceEngineSpec& spec) {
    EXPECT_EQ(spec.modelName, quorvel::FaceEngineSpec::dlib.modelName);
    EXPECT_EQ(input.shape(), (std::vector<std::int64_t>{1, 3, spec.inputSide, spec.inputSide}));
    inputs.emplace_back(input.data(), input.data() + input.count());
    return std::optional<quorvel::FaceDescriptor>(
        quorvel::FaceDescriptor(input.data(), input.data() + 128));
  };
  const auto johns = quorvel::testing::johnsPhotos();
  const std::string textFile = home() + "/notes.png";
  { std::ofstream(textFile) << "not an image"; }
  EXPECT_EQ(crops({johns[0], textFile, johns[0], johns[20]}, &embedder), 0);
  const auto printed = linesOf(out.str());
  ASSERT_EQ(printed.size(), 4u + 3 + 3) << out.str();

  ASSERT_EQ(inputs.size(), 3u);
  // The statistics are those of the whole tensor.
  const std::vector<float>& t = inputs[0];
  float sum = 0, lo = t[0], hi = t[0];
  for (float v : t) {
    sum += v;
    lo = std::min(lo, v);
    hi = std::max(hi, v);
  }
  const std::string expected =
      "  processed " + johns[0] + " \u2014 tensor mean " + diag::description(sum / t.size()) +
      ", min " + diag::description(lo) + ", max " + diag::description(hi) + ", first values [" +
      diag::description(t[0]) + ", " + diag::description(t[1]) + ", " + diag::description(t[2]) +
      ", " + diag::description(t[3]) + ", " + diag::description(t[4]) + "]";
  EXPECT_EQ(printed[0], expected);
  EXPECT_LT(lo, hi);
  EXPECT_EQ(printed[1], "  could not load " + textFile);
  EXPECT_TRUE(printed[2].starts_with("  processed " + johns[0] + " \u2014 tensor mean "));
  EXPECT_TRUE(printed[3].starts_with("  processed " + johns[20] + " \u2014 tensor mean "));
  EXPECT_EQ(printed[4], "");
  EXPECT_EQ(printed[5], kCropTitle);
  EXPECT_EQ(printed[6], "");
  const std::string n0 = diag::lastPathComponent(johns[0]), n20 = diag::lastPathComponent(johns[20]);
  EXPECT_EQ(printed[7], "  " + n0 + " vs " + n0 + ": 0.0000 \u2190 WOULD MATCH");
  EXPECT_TRUE(printed[8].starts_with("  " + n0 + " vs " + n20 + ": ")) << printed[8];
  EXPECT_TRUE(printed[9].starts_with("  " + n0 + " vs " + n20 + ": ")) << printed[9];
}

}  // namespace
