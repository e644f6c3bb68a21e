#include <algorithm>

#include "foundation/build_flavour.hpp"
#include "foundation/recognition_engine.hpp"
#include "gtest/gtest.h"

namespace {

using quorvel::FaceEngineSpec;
using quorvel::RecognitionEngine;
namespace engines = quorvel::recognition_engine;

TEST(FaceEngineSpecTest, MeetsPassesEqualityInBothDirections) {
  EXPECT_TRUE(FaceEngineSpec::dlib.meets(0.5, 0.5));
  EXPECT_TRUE(FaceEngineSpec::arcface.meets(0.8, 0.8));
  EXPECT_FALSE(FaceEngineSpec::dlib.meets(0.51, 0.5));
  EXPECT_FALSE(FaceEngineSpec::arcface.meets(0.79, 0.8));
  EXPECT_TRUE(FaceEngineSpec::dlib.meets(0.2, 0.5));
  EXPECT_TRUE(FaceEngineSpec::arcface.meets(0.95, 0.8));
}

TEST(FaceEngineSpecTest, RelaxNeverPassesTheLimit) {
  EXPECT_DOUBLE_EQ(FaceEngineSpec::dlib.relax(0.5, 0.05, 0.58), 0.55);
  EXPECT_DOUBLE_EQ(FaceEngineSpec::dlib.relax(0.5, 0.2, 0.58), 0.58);
  EXPECT_NEAR(FaceEngineSpec::arcface.relax(0.8, 0.03, 0.74), 0.77, 1e-12);
  EXPECT_DOUBLE_EQ(FaceEngineSpec::arcface.relax(0.8, 0.1, 0.74), 0.74);
  // Relaxing by 0: the threshold when the limit lies beyond it, else the limit.
  EXPECT_DOUBLE_EQ(FaceEngineSpec::dlib.relax(0.5, 0, 0.58), 0.5);
  EXPECT_DOUBLE_EQ(FaceEngineSpec::dlib.relax(0.5, 0, 0.4), 0.4);
  EXPECT_DOUBLE_EQ(FaceEngineSpec::arcface.relax(0.8, 0, 0.74), 0.8);
  EXPECT_DOUBLE_EQ(FaceEngineSpec::arcface.relax(0.8, 0, 0.9), 0.9);
}

TEST(FaceEngineSpecTest, ConstantsKeepTheirOrdering) {
  const auto& d = FaceEngineSpec::dlib;
  EXPECT_LT(d.instantThreshold, d.baseThreshold);
  EXPECT_LT(d.baseThreshold, d.absoluteLimit);
  EXPECT_LT(d.learnThreshold, d.instantThreshold);
  const auto& a = FaceEngineSpec::arcface;
  EXPECT_GT(a.instantThreshold, a.baseThreshold);
  EXPECT_GT(a.baseThreshold, a.absoluteLimit);
  EXPECT_EQ(a.learnThreshold, a.instantThreshold);
  for (const auto* spec : {&d, &a}) {
    ASSERT_EQ(spec->templatePoints.size(), 5u);
    const auto& p = spec->templatePoints;
    EXPECT_LT(p[0].x, p[1].x);  // eyes, smaller x first
    EXPECT_LT(p[3].x, p[4].x);  // mouth corners, smaller x first
    EXPECT_GT(p[0].y, p[2].y);  // origin bottom left: eyes above the nose
    EXPECT_GT(p[2].y, p[3].y);  // nose above the mouth
    for (const auto& q : p) {
      EXPECT_GT(q.x, 0);
      EXPECT_LT(q.x, spec->templateSide);
    }
  }
  EXPECT_EQ(d.inputSide, 150);
  EXPECT_EQ(d.templateSide, 150);
  EXPECT_EQ(a.inputSide, 112);
  EXPECT_EQ(a.templateSide, 256);
  EXPECT_EQ(d.modelName, "DlibFace");
  EXPECT_EQ(a.modelName, "VavozuDare");
}

TEST(RecognitionEngineTest, RawValuesAreExactStrings) {
  EXPECT_EQ(engines::fromRawValue("dlib"), RecognitionEngine::dlib);
  EXPECT_EQ(engines::fromRawValue("arcface"), RecognitionEngine::arcface);
  EXPECT_FALSE(engines::fromRawValue("Dlib").has_value());
  EXPECT_FALSE(engines::fromRawValue("ArcFace").has_value());
  EXPECT_FALSE(engines::fromRawValue("").has_value());
  EXPECT_FALSE(engines::fromRawValue(" dlib ").has_value());
  for (auto engine : engines::allCases) {
    EXPECT_EQ(engines::fromRawValue(quorvel::rawValue(engine)), engine);
  }
}

TEST(RecognitionEngineTest, NamesSellabilityAndSpecs) {
  EXPECT_EQ(quorvel::displayName(RecognitionEngine::dlib), "dlib (public domain)");
  EXPECT_EQ(quorvel::displayName(RecognitionEngine::arcface), "ArcFace (personal use only)");
  EXPECT_TRUE(quorvel::sellable(RecognitionEngine::dlib));
  EXPECT_FALSE(quorvel::sellable(RecognitionEngine::arcface));
  EXPECT_EQ(&quorvel::spec(RecognitionEngine::dlib), &FaceEngineSpec::dlib);
  EXPECT_EQ(&quorvel::spec(RecognitionEngine::arcface), &FaceEngineSpec::arcface);
}

TEST(RecognitionEngineTest, SelectableFollowsTheBuildFlavour) {
  ASSERT_EQ(engines::allCases.size(), 2u);
  EXPECT_EQ(engines::allCases[0], RecognitionEngine::dlib);
  EXPECT_EQ(engines::allCases[1], RecognitionEngine::arcface);
  const auto selectable = engines::selectable();
  if (quorvel::BuildFlavour::isDeveloper) {
    EXPECT_TRUE(std::equal(selectable.begin(), selectable.end(), engines::allCases.begin(),
                           engines::allCases.end()));
    EXPECT_STREQ(quorvel::BuildFlavour::label, "developer");
  } else {
    EXPECT_EQ(selectable, std::vector<RecognitionEngine>{RecognitionEngine::dlib});
    EXPECT_STREQ(quorvel::BuildFlavour::label, "customer");
  }
}

}  // namespace
