#include <cmath>
#include <limits>
#include <random>

#include "gtest/gtest.h"
#include "recognition/match_engine.hpp"

namespace {

using quorvel::FaceDescriptor;
using quorvel::FaceEngineSpec;
using quorvel::MatchEngine;
using Decision = MatchEngine::Decision;

constexpr double kWorst = 1.7976931348623157e308;

// A liveness callback that counts its calls.
struct Liveness {
  float value;
  int calls = 0;
  std::function<float()> callback() {
    return [this] {
      ++calls;
      return value;
    };
  }
};

TEST(MatchEngineRuleTest, ThreeSustainedFramesUnlock) {
  MatchEngine engine(FaceEngineSpec::dlib);
  Liveness live{0.9f};
  EXPECT_EQ(engine.evaluate(0.45, live.callback(), 0, 0), Decision::keepLooking());
  EXPECT_EQ(engine.evaluate(0.45, live.callback(), 0, 0), Decision::keepLooking());
  const auto decision = engine.evaluate(0.45, live.callback(), 0, 0);
  ASSERT_TRUE(decision.isUnlock());
  EXPECT_DOUBLE_EQ(decision.smoothed, 0.45);
  EXPECT_FALSE(decision.shouldLearn);
  EXPECT_EQ(live.calls, 3);
}

TEST(MatchEngineRuleTest, OneVeryGoodFrameUnlocksAtOnceAndLearns) {
  MatchEngine engine(FaceEngineSpec::dlib);
  Liveness live{0.9f};
  EXPECT_EQ(engine.evaluate(0.30, live.callback(), 0, 0), Decision::unlock(0.30, true));
  EXPECT_EQ(engine.consecutive(), 3);
}

TEST(MatchEngineRuleTest, RawFrameMeetsInstantThresholdWhileAverageLags) {
  MatchEngine engine(FaceEngineSpec::dlib);
  Liveness live{0.9f};
  EXPECT_EQ(engine.evaluate(0.70, live.callback(), 0, 0), Decision::keepLooking());
  EXPECT_EQ(live.calls, 0);  // neither threshold: liveness never asked
  const auto decision = engine.evaluate(0.40, live.callback(), 0, 0);
  ASSERT_TRUE(decision.isUnlock());
  EXPECT_NEAR(decision.smoothed, 0.55, 1e-12);
  EXPECT_FALSE(decision.shouldLearn);
  EXPECT_EQ(live.calls, 1);
}

TEST(MatchEngineRuleTest, EdgesOfTheRule) {
  Liveness live{0.9f}, spoof{0.1f}, floor{0.55f};
  {
    // 0.1 with a spoof (a miss), then 0.5: the raw 0.5 is not instant, the average 0.3 is.
    MatchEngine engine(FaceEngineSpec::dlib);
    EXPECT_EQ(engine.evaluate(0.1, spoof.callback(), 0, 0), Decision::keepLooking());
    EXPECT_EQ(engine.evaluate(0.5, live.callback(), 0, 0), Decision::unlock(0.3, true));
  }
  {
    // Liveness exactly at the floor passes; the count goes on climbing past 3.
    MatchEngine engine(FaceEngineSpec::dlib);
    for (int i = 0; i < 5; ++i) engine.evaluate(0.45, floor.callback(), 0, 0);
    EXPECT_EQ(engine.consecutive(), 5);
  }
  // Both thresholds stop at their limits: with the limit at 0.51 (instant 0.43) a head at the
  // edge of the gaze gate (offset 0.035) neither unlocks 0.44 at once nor 0.52 in three frames.
  FaceEngineSpec tight = FaceEngineSpec::dlib;
  tight.absoluteLimit = 0.51;
  {
    MatchEngine engine(tight);
    EXPECT_EQ(engine.evaluate(0.44, live.callback(), 0.35, 0.35), Decision::keepLooking());
  }
  {
    MatchEngine engine(tight);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(engine.evaluate(0.52, live.callback(), 0.35, -0.35), Decision::keepLooking());
  }
}

TEST(MatchEngineRuleTest, PoseLoosensThresholdsWithinTheLimits) {
  EXPECT_NEAR(MatchEngine::poseOffset(0.3, 0.2), 0.0255, 1e-12);
  EXPECT_NEAR(MatchEngine::poseOffset(-0.35, -0.35), 0.035, 1e-12);
  // dlib sustained threshold becomes 0.5255: 0.525 passes with a turned head only.
  {
    MatchEngine engine(FaceEngineSpec::dlib);
    Liveness live{0.9f};
    for (int i = 0; i < 2; ++i) engine.evaluate(0.525, live.callback(), 0.3, 0.2);
    EXPECT_TRUE(engine.evaluate(0.525, live.callback(), 0.3, 0.2).isUnlock());
  }
  {
    MatchEngine engine(FaceEngineSpec::dlib);
    Liveness live{0.9f};
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(engine.evaluate(0.525, live.callback(), 0, 0).isUnlock());
  }
  // Instant thresholds: dlib 0.4455, arcface 0.8545 at yaw 0.3 / pitch 0.2.
  {
    MatchEngine engine(FaceEngineSpec::dlib);
    Liveness live{0.9f};
    EXPECT_TRUE(engine.evaluate(0.445, live.callback(), 0.3, 0.2).isUnlock());
  }
  {
    MatchEngine engine(FaceEngineSpec::arcface);
    Liveness live{0.9f};
    EXPECT_TRUE(engine.evaluate(0.855, live.callback(), 0.3, 0.2).isUnlock());
  }
  {
    MatchEngine engine(FaceEngineSpec::arcface);
    Liveness live{0.9f};
    EXPECT_FALSE(engine.evaluate(0.85, live.callback(), 0.0, 0.0).isUnlock());
  }
}

TEST(MatchEngineRuleTest, GazeGateRejectsTurnedFaceButKeepsItsScore) {
  MatchEngine engine(FaceEngineSpec::dlib);
  Liveness live{0.9f};
  EXPECT_EQ(engine.evaluate(0.0, live.callback(), 0.36, 0), Decision::keepLooking());
  EXPECT_EQ(engine.evaluate(0.0, live.callback(), 0, -0.36), Decision::keepLooking());
  EXPECT_EQ(live.calls, 0);
  EXPECT_EQ(engine.history().size(), 2u);
  // Exactly at the tolerance passes.
  EXPECT_TRUE(engine.evaluate(0.0, live.callback(), 0.35, -0.35).isUnlock());
}

TEST(MatchEngineRuleTest, LowLivenessIsAMissThatDecaysTheCount) {
  MatchEngine engine(FaceEngineSpec::dlib);
  Liveness live{0.9f};
  engine.evaluate(0.45, live.callback(), 0, 0);
  engine.evaluate(0.45, live.callback(), 0, 0);
  EXPECT_EQ(engine.consecutive(), 2);
  Liveness spoof{0.549f};
  EXPECT_EQ(engine.evaluate(0.45, spoof.callback(), 0, 0), Decision::keepLooking());
  EXPECT_EQ(spoof.calls, 1);
  EXPECT_EQ(engine.consecutive(), 1);
  // The count never goes below zero.
  MatchEngine fresh(FaceEngineSpec::dlib);
  fresh.evaluate(0.9, live.callback(), 0, 0);
  EXPECT_EQ(fresh.consecutive(), 0);
}

TEST(MatchEngineRuleTest, CountDecaysByOneNotToZero) {
  // Sustained, sustained, a miss (head turned away), then sustained again: 1, 2, 1, 2, 3.
  MatchEngine engine(FaceEngineSpec::dlib);
  Liveness live{0.9f};
  std::vector<std::int64_t> counts;
  std::vector<bool> unlocks;
  for (double yaw : {0.0, 0.0, 0.5, 0.0, 0.0}) {
    unlocks.push_back(engine.evaluate(0.45, live.callback(), yaw, 0).isUnlock());
    counts.push_back(engine.consecutive());
  }
  EXPECT_EQ(counts, (std::vector<std::int64_t>{1, 2, 1, 2, 3}));
  EXPECT_EQ(unlocks, (std::vector<bool>{false, false, false, false, true}));
}

TEST(MatchEngineRuleTest, HistoryKeepsTheFourMostRecentScores) {
  MatchEngine engine(FaceEngineSpec::dlib);
  Liveness live{0.0f};
  for (double s : {1.0, 2.0, 3.0, 4.0, 5.0}) engine.evaluate(s, live.callback(), 0, 0);
  EXPECT_EQ(engine.history(), (std::vector<double>{2.0, 3.0, 4.0, 5.0}));
  engine.reset();
  EXPECT_TRUE(engine.history().empty());
  EXPECT_EQ(engine.consecutive(), 0);
}

TEST(MatchEngineRuleTest, SimilarityEngineUnlocksAndLearnsOnHighScores) {
  MatchEngine engine(FaceEngineSpec::arcface);
  Liveness live{0.9f};
  EXPECT_EQ(engine.evaluate(0.9, live.callback(), 0, 0), Decision::unlock(0.9, true));
  MatchEngine sustained(FaceEngineSpec::arcface);
  sustained.evaluate(0.82, live.callback(), 0, 0);
  sustained.evaluate(0.82, live.callback(), 0, 0);
  const auto third = sustained.evaluate(0.82, live.callback(), 0, 0);
  ASSERT_TRUE(third.isUnlock());
  EXPECT_FALSE(third.shouldLearn);
}

TEST(MatchEngineDecisionTest, Equality) {
  EXPECT_NE(Decision::unlock(0.4, true), Decision::unlock(0.4, false));
  EXPECT_NE(Decision::unlock(0.4, true), Decision::unlock(0.41, true));
  EXPECT_EQ(Decision::unlock(0.4, true), Decision::unlock(0.4, true));
  EXPECT_EQ(Decision::keepLooking(), Decision::keepLooking());
  EXPECT_NE(Decision::keepLooking(), Decision::unlock(0.4, true));
}

TEST(MatchEngineComparisonTest, CosineAndEuclideanEdges) {
  EXPECT_EQ(MatchEngine::cosine({1, 0}, {1, 0, 0}), 0);
  EXPECT_EQ(MatchEngine::cosine({}, {}), 0);
  EXPECT_EQ(MatchEngine::euclidean({}, {}), kWorst);
  EXPECT_EQ(MatchEngine::euclidean({1}, {1, 2}), kWorst);
  EXPECT_DOUBLE_EQ(MatchEngine::euclidean({0, 0}, {3, 4}), 5.0);
  // The dot product is clamped, not normalised.
  EXPECT_EQ(MatchEngine::cosine({2, 0}, {2, 0}), 1.0);
  EXPECT_EQ(MatchEngine::cosine({2, 0}, {-2, 0}), -1.0);
  EXPECT_DOUBLE_EQ(MatchEngine::cosine({0.6f, 0.8f}, {0.6f, 0.8f}),
                   static_cast<double>(0.6f * 0.6f + 0.8f * 0.8f));
}

TEST(MatchEngineComparisonTest, ArithmeticIsSinglePrecisionInIndexOrder) {
  // 1e8 + 1 - 1e8 in float order gives 0; a double sum would give 1.
  const FaceDescriptor a{1e4f, 1.0f, 0.0f};
  const FaceDescriptor b{0.0f, 0.0f, 0.0f};
  float expected = 0;
  expected += 1e4f * 1e4f;
  expected += 1.0f;
  EXPECT_EQ(MatchEngine::euclidean(a, b), static_cast<double>(std::sqrt(expected)));
}

TEST(MatchEngineComparisonTest, DimensionWeights) {
  EXPECT_FALSE(MatchEngine::dimensionWeights({{1, 2}, {1, 2}, {1, 2}}).has_value());
  EXPECT_FALSE(MatchEngine::dimensionWeights({{}, {}, {}, {}}).has_value());
  EXPECT_FALSE(MatchEngine::dimensionWeights({{1, 2}, {1, 2}, {1, 2}, {1}}).has_value());
  const auto same = MatchEngine::dimensionWeights({{1, 2, 3}, {1, 2, 3}, {1, 2, 3}, {1, 2, 3}});
  ASSERT_TRUE(same.has_value());
  for (float w : *same) EXPECT_FLOAT_EQ(w, 1.0f);
  // A dimension that varies counts less; the weights average 1.
  const auto spread = MatchEngine::dimensionWeights({{0, 0}, {0, 1}, {0, 0}, {0, 1}});
  ASSERT_TRUE(spread.has_value());
  EXPECT_GT((*spread)[0], (*spread)[1]);
  EXPECT_NEAR(((*spread)[0] + (*spread)[1]) / 2, 1.0, 1e-6);
  // The population variance (divided by n): 1 + 0.0001 here, not 4/3 + 0.0001.
  const auto population = MatchEngine::dimensionWeights({{0, 1}, {0, -1}, {0, 1}, {0, -1}});
  ASSERT_TRUE(population.has_value());
  EXPECT_NEAR((*population)[1], 1.9996e-4, 1e-8);
}

TEST(MatchEngineComparisonTest, WeightedEuclideanFallsBack) {
  EXPECT_DOUBLE_EQ(MatchEngine::weightedEuclidean({0, 0}, {3, 4}, {1, 1}), 5.0);
  EXPECT_DOUBLE_EQ(MatchEngine::weightedEuclidean({0, 0}, {3, 4}, {4, 0}), 6.0);
  EXPECT_DOUBLE_EQ(MatchEngine::weightedEuclidean({0, 0}, {3, 4}, {1}), 5.0);
  EXPECT_EQ(MatchEngine::weightedEuclidean({0}, {3, 4}, {1, 1}), kWorst);
  EXPECT_EQ(MatchEngine::weightedEuclidean({}, {}, {}), kWorst);
}

TEST(MatchEngineScoreTest, NoStoredVectors) {
  EXPECT_EQ(MatchEngine(FaceEngineSpec::arcface).matchScore({1, 0}, {}), 0.0);
  EXPECT_EQ(MatchEngine(FaceEngineSpec::dlib).matchScore({1, 0}, {}), kWorst);
}

TEST(MatchEngineScoreTest, MeanOfTheBestThree) {
  const MatchEngine engine(FaceEngineSpec::dlib);
  // Three stored vectors: plain distances 1, 2, 3 -> mean 2.
  EXPECT_DOUBLE_EQ(engine.matchScore({0, 0}, {{3, 0}, {1, 0}, {2, 0}}), 2.0);
  EXPECT_DOUBLE_EQ(engine.matchScore({0, 0}, {{3, 0}}), 3.0);
  EXPECT_DOUBLE_EQ(engine.matchScore({0, 0}, {{3, 0}, {1, 0}}), 2.0);
  const MatchEngine similarity(FaceEngineSpec::arcface);
  EXPECT_NEAR(similarity.matchScore({1, 0}, {{0.1f, 0}, {0.9f, 0}, {0.5f, 0}, {0.7f, 0}}),
              (0.9 + 0.7 + 0.5) / 3, 1e-6);
}

TEST(MatchEngineScoreTest, WeightsAreUsedFromFourStoredVectors) {
  const MatchEngine engine(FaceEngineSpec::dlib);
  const std::vector<FaceDescriptor> stored{{0, 0}, {0, 1}, {0, 0}, {0, 1}};
  const FaceDescriptor probe{1, 0};
  const auto weights = MatchEngine::dimensionWeights(stored);
  ASSERT_TRUE(weights);
  std::vector<double> per;
  for (const auto& v : stored) per.push_back(MatchEngine::weightedEuclidean(probe, v, *weights));
  std::sort(per.begin(), per.end());
  EXPECT_DOUBLE_EQ(engine.matchScore(probe, stored), (0.0 + per[0] + per[1] + per[2]) / 3);
  // With three vectors the plain distance is used.
  const std::vector<FaceDescriptor> three{{0, 0}, {0, 1}, {0, 0}};
  EXPECT_DOUBLE_EQ(engine.matchScore(probe, three),
                   (1.0 + 1.0 + static_cast<double>(std::sqrt(2.0f))) / 3);
}

TEST(MatchEngineScoreTest, ProbeOfAnotherLengthNeverMeetsAThreshold) {
  Liveness live{0.9f};
  MatchEngine dlib(FaceEngineSpec::dlib);
  const double distance = dlib.matchScore(FaceDescriptor(512, 0.0f), {FaceDescriptor(128, 0.0f)});
  EXPECT_EQ(distance, kWorst);
  EXPECT_FALSE(dlib.evaluate(distance, live.callback(), 0, 0).isUnlock());
  MatchEngine arc(FaceEngineSpec::arcface);
  const double similarity = arc.matchScore(FaceDescriptor(128, 0.1f), {FaceDescriptor(512, 0.1f)});
  EXPECT_EQ(similarity, 0.0);
  EXPECT_FALSE(arc.evaluate(similarity, live.callback(), 0, 0).isUnlock());
  EXPECT_EQ(live.calls, 0);
}

}  // namespace
