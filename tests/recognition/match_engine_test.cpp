#include <algorithm>
#include <cmath>

#include "gtest/gtest.h"
#include "recognition/match_engine.hpp"

namespace {

using quorvel::FaceDescriptor;
using quorvel::FaceEngineSpec;
using quorvel::MatchEngine;
using Decision = MatchEngine::Decision;

constexpr double kWorst = 1.7976931348623157e308;

// One frame of an attempt: its score, the liveness it would answer, the head's angles.
struct Frame {
  double score;
  float liveness = 0.9f;
  double yaw = 0, pitch = 0;
};

struct RuleCase {
  const char* what;
  FaceEngineSpec spec;
  std::vector<Frame> frames;
  std::vector<Decision> decisions;  // one a frame
  std::int64_t consecutive;
  int livenessCalls;
};

// dlib: instant 0.42, sustained 0.5, limit 0.58, learning 0.35 (lower is better); arcface:
// instant 0.88, sustained 0.8, limit 0.74, learning 0.88 (higher is better).
FaceEngineSpec limitedTo(double limit) {
  FaceEngineSpec spec = FaceEngineSpec::dlib;
  spec.absoluteLimit = limit;
  return spec;
}
// The expected decisions, written short: keep looking, or unlock(smoothed, shouldLearn).
const auto K = Decision::keepLooking();
const auto U = Decision::unlock;
const RuleCase kRuleCases[] = {
    {"three sustained frames unlock", FaceEngineSpec::dlib, {{0.45}, {0.45}, {0.45}}, {K, K, U(0.45, false)}, 3, 3},
    {"one very good frame unlocks at once and learns", FaceEngineSpec::dlib, {{0.30}}, {U(0.30, true)}, 3, 1},
    // Neither threshold: liveness is not asked. Then the raw 0.40 is instant, the average not.
    {"raw frame instant while the average lags", FaceEngineSpec::dlib, {{0.70}, {0.40}}, {K, U(0.55, false)}, 3, 1},
    // A spoof (a miss), then 0.5: the raw 0.5 is not instant, the average 0.3 is.
    {"average instant while the raw frame is not", FaceEngineSpec::dlib, {{0.1, 0.1f}, {0.5}}, {K, U(0.3, true)}, 3, 2},
    {"liveness at the floor passes; the count climbs past 3", FaceEngineSpec::dlib,
     {{0.45, 0.55f}, {0.45, 0.55f}, {0.45, 0.55f}, {0.45, 0.55f}, {0.45, 0.55f}},
     {K, K, U(0.45, false), U(0.45, false), U(0.45, false)}, 5, 5},
    {"liveness under the floor is a miss that decays the count", FaceEngineSpec::dlib,
     {{0.45}, {0.45}, {0.45, 0.549f}}, {K, K, K}, 1, 3},
    {"the count never goes below zero", FaceEngineSpec::dlib, {{0.9}}, {K}, 0, 0},
    // Sustained, sustained, a miss (head turned away), then sustained again: 1, 2, 1, 2, 3.
    {"the count decays by one, not to zero", FaceEngineSpec::dlib,
     {{0.45}, {0.45}, {0.45, 0.9f, 0.5}, {0.45}, {0.45}}, {K, K, K, K, U(0.45, false)}, 3, 4},
    // Pose offset 0.0255 at yaw 0.3 / pitch 0.2: sustained 0.5255, instant 0.4455 (dlib) and
    // 0.8545 (arcface).
    {"a turned head loosens the sustained threshold", FaceEngineSpec::dlib,
     {{0.525, 0.9f, 0.3, 0.2}, {0.525, 0.9f, 0.3, 0.2}, {0.525, 0.9f, 0.3, 0.2}}, {K, K, U(0.525, false)}, 3, 3},
    {"a frontal head does not", FaceEngineSpec::dlib, {{0.525}, {0.525}, {0.525}}, {K, K, K}, 0, 0},
    {"a turned head loosens the instant threshold", FaceEngineSpec::dlib, {{0.445, 0.9f, 0.3, 0.2}},
     {U(0.445, false)}, 3, 1},
    {"a turned head loosens arcface's instant threshold", FaceEngineSpec::arcface, {{0.855, 0.9f, 0.3, 0.2}},
     {U(0.855, false)}, 3, 1},
    {"arcface frontal 0.85 is only sustained", FaceEngineSpec::arcface, {{0.85}}, {K}, 1, 1},
    // A score exactly at a threshold meets it, whichever way the engine's scores point.
    {"dlib at the instant threshold", FaceEngineSpec::dlib, {{0.42}}, {U(0.42, false)}, 3, 1},
    {"arcface at the instant and learning thresholds", FaceEngineSpec::arcface, {{0.88}}, {U(0.88, true)}, 3, 1},
    {"arcface sustained", FaceEngineSpec::arcface, {{0.82}, {0.82}, {0.82}}, {K, K, U(0.82, false)}, 3, 3},
    // Past the gaze tolerance a frame is a miss without liveness, but its score is kept for
    // the average; exactly at the tolerance passes.
    {"the gaze gate", FaceEngineSpec::dlib,
     {{0.2, 0.9f, 0.36, 0}, {0.2, 0.9f, 0, -0.36}, {0.05, 0.9f, 0.35, -0.35}}, {K, K, U(0.15, true)}, 3, 1},
    // Both thresholds stop at their limits: with the limit at 0.51 (instant 0.43) a head at
    // the edge of the gaze gate (offset 0.035) neither unlocks 0.44 at once nor 0.52 in
    // three frames.
    {"the instant threshold is capped", limitedTo(0.51), {{0.44, 0.9f, 0.35, 0.35}}, {K}, 1, 1},
    {"the worst distance never meets a threshold", FaceEngineSpec::dlib, {{kWorst}}, {K}, 0, 0},
    {"the worst similarity never meets a threshold", FaceEngineSpec::arcface, {{0.0}}, {K}, 0, 0},
    {"the sustained threshold is capped", limitedTo(0.51),
     {{0.52, 0.9f, 0.35, -0.35}, {0.52, 0.9f, 0.35, -0.35}, {0.52, 0.9f, 0.35, -0.35}, {0.52, 0.9f, 0.35, -0.35}},
     {K, K, K, K}, 0, 0},
};

TEST(MatchEngineRuleTest, DecidesEveryFrameByTheRule) {
  EXPECT_NEAR(MatchEngine::poseOffset(0.3, 0.2), 0.0255, 1e-12);
  EXPECT_NEAR(MatchEngine::poseOffset(-0.35, -0.35), 0.035, 1e-12);
  for (const RuleCase& c : kRuleCases) {
    SCOPED_TRACE(c.what);
    MatchEngine engine(c.spec);
    int calls = 0;
    for (std::size_t i = 0; i < c.frames.size(); ++i) {
      const Frame& f = c.frames[i];
      const auto decision = engine.evaluate(f.score, [&] { return ++calls, f.liveness; }, f.yaw, f.pitch);
      EXPECT_EQ(decision.kind, c.decisions[i].kind) << "frame " << i;
      EXPECT_NEAR(decision.smoothed, c.decisions[i].smoothed, 1e-12) << "frame " << i;
      EXPECT_EQ(decision.shouldLearn, c.decisions[i].shouldLearn) << "frame " << i;
    }
    EXPECT_EQ(engine.consecutive(), c.consecutive);
    EXPECT_EQ(calls, c.livenessCalls);
  }
}

TEST(MatchEngineRuleTest, HistoryKeepsTheFourMostRecentScores) {
  MatchEngine engine(FaceEngineSpec::dlib);
  for (double s : {1.0, 2.0, 3.0, 4.0, 5.0}) engine.evaluate(s, [] { return 0.0f; }, 0, 0);
  EXPECT_EQ(engine.history(), (std::vector<double>{2.0, 3.0, 4.0, 5.0}));
  engine.reset();
  EXPECT_TRUE(engine.history().empty());
  EXPECT_EQ(engine.consecutive(), 0);
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
  const float expected = 1e4f * 1e4f + 1.0f;
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

TEST(MatchEngineScoreTest, MeanOfTheBestThree) {
  // No stored vectors, or a probe of another length: the worst score of each engine (which
  // never meets a threshold: see the rule's cases).
  EXPECT_EQ(MatchEngine(FaceEngineSpec::arcface).matchScore({1, 0}, {}), 0.0);
  EXPECT_EQ(MatchEngine(FaceEngineSpec::dlib).matchScore({1, 0}, {}), kWorst);
  EXPECT_EQ(MatchEngine(FaceEngineSpec::dlib).matchScore(FaceDescriptor(512, 0.0f), {FaceDescriptor(128, 0.0f)}), kWorst);
  EXPECT_EQ(MatchEngine(FaceEngineSpec::arcface).matchScore(FaceDescriptor(128, 0.1f), {FaceDescriptor(512, 0.1f)}), 0.0);
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

}  // namespace
