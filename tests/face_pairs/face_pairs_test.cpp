// The accuracy command: its pairs files, its figures, and a floor under the recognition road's
// accuracy on a small set of labelled LFW pairs (tests/data/face-pairs, README there).
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "face_pairs.hpp"
#include "recognition/native_dlib.hpp"
#include "support/face_models_hooks.hpp"
#include "support/platform_fixture.hpp"
#include "support/recognition_input_hooks.hpp"

namespace quorvel::testing {
namespace {

using namespace quorvel::face_pairs;

std::variant<std::vector<Pair>, std::string> parse(const std::string& text) {
  std::istringstream in(text);
  return parsePairs(in);
}

TEST(FacePairsFileTest, ReadsPairsWithAndWithoutReferences) {
  const auto parsed = parse("same\timageA\timageB\treference_distance\n1\ta.jpg\tb.jpg\t0.45\r\n\n"
                            "0\tc.jpg\td.jpg\tnone\n0\te.jpg\tf.jpg\n");
  ASSERT_TRUE(std::holds_alternative<std::vector<Pair>>(parsed)) << std::get<std::string>(parsed);
  const auto& pairs = std::get<std::vector<Pair>>(parsed);
  ASSERT_EQ(pairs.size(), 3u);
  EXPECT_TRUE(pairs[0].same);
  EXPECT_EQ(pairs[0].imageB, "b.jpg");
  EXPECT_DOUBLE_EQ(*pairs[0].reference, 0.45);
  EXPECT_FALSE(pairs[1].same || pairs[1].reference || pairs[2].reference);

  // Faults are named with their line.
  const std::pair<const char*, const char*> faults[] = {
      {"", "no pairs"},
      {"same\timageA\timageB\n", "no pairs"},
      {"1\ta.jpg\n", "line 1: expected 3 or 4 tab-separated fields"},
      {"2\ta.jpg\tb.jpg\n", "line 1: `same` must be 0 or 1"},
      {"1\ta.jpg\t\n", "line 1: an image name is empty"},
      {"1\ta\tb\t0.4\n0\tc\td\t-1\n", "line 2: the reference distance must be a number or `none`"},
      {"1\ta\tb\t0.4x\n", "line 1: the reference distance must be a number or `none`"},
  };
  for (const auto& [text, fault] : faults) {
    const auto failed = parse(text);
    ASSERT_TRUE(std::holds_alternative<std::string>(failed)) << text;
    EXPECT_EQ(std::get<std::string>(failed), fault);
  }
}

// The thresholds' edges: a same-person pair at exactly 0.6 is right and at 0.5 not rejected; a
// different-person pair at exactly 0.5 is a false accept.
TEST(FacePairsFiguresTest, ThresholdsIncludeTheirEdges) {
  const Figures f = figures({{true, 0.6}, {true, 0.5}, {true, 0.61}, {false, 0.5}, {false, 0.6}});
  EXPECT_EQ(f.same, 3);
  EXPECT_EQ(f.rightAt06, 2);
  EXPECT_EQ(f.sameRejectedAt05, 2);
  EXPECT_EQ(f.falseAcceptedAt05, 1);
  EXPECT_DOUBLE_EQ(f.accuracyAt06(), 40.0);
  EXPECT_DOUBLE_EQ(figures({}).accuracyAt06(), 0.0);
}

// Real photos down the real road: the LFW pairs of tests/data, among them same-person pairs
// that a stretched aligned face used to reject at 0.5 and the two closest different-person
// pairs of the development set.
class FacePairsRoadTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    useRealFaceLandmarks();
    ASSERT_TRUE(NativeDlib::load(dlibWeightsPath())) << "run scripts/make-dlib-weights";
  }
};

TEST_F(FacePairsRoadTest, AccuracyStaysAboveItsFloor) {
  const std::string folder = QUORVEL_SOURCE_DIR "/tests/data/face-pairs";
  std::ifstream in(folder + "/pairs.tsv");
  const auto pairs = std::get<std::vector<Pair>>(parsePairs(in));
  const Report report = measure(pairs, folder + "/images", describePhoto, 2);
  std::ostringstream printed;
  print(report, printed);
  std::printf("%s", printed.str().c_str());
  EXPECT_EQ(report.describedByRoad, 26);
  EXPECT_EQ(report.road.pairs(), 26);
  EXPECT_GE(report.road.accuracyAt06(), 90.0);
  EXPECT_LE(report.road.sameRejectRateAt05(), 20.0);
  EXPECT_EQ(report.road.falseAcceptedAt05, 0);
  EXPECT_NE(printed.str().find("| this road | "), std::string::npos);
}

}  // namespace
}  // namespace quorvel::testing
