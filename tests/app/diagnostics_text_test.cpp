// How the diagnostics write numbers, names and comparison rows.
#include "app/diagnostics_text.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>

namespace {

using quorvel::diagnostics::description;
using quorvel::diagnostics::lastPathComponent;
using quorvel::diagnostics::printPairwiseRows;
using quorvel::diagnostics::Sample;

TEST(DiagnosticsText, DoublesAreShortestWithAFractionPart) {
  EXPECT_EQ(description(220.0), "220.0");
  EXPECT_EQ(description(0.25), "0.25");
  EXPECT_EQ(description(-0.5), "-0.5");
  EXPECT_EQ(description(100000.0), "100000.0");
  EXPECT_EQ(description(1234.5678), "1234.5678");
  EXPECT_EQ(description(0.0), "0.0");
  EXPECT_EQ(description(0.0001), "0.0001");
  // Exponent form below 1e-4 and above 2^53.
  EXPECT_EQ(description(0.00001), "1e-05");
  EXPECT_EQ(description(9007199254740992.0), "9007199254740992.0");
  EXPECT_EQ(description(1e16), "1e+16");
  EXPECT_EQ(description(std::nan("")), "nan");
  EXPECT_EQ(description(std::numeric_limits<double>::infinity()), "inf");
}

TEST(DiagnosticsText, FloatsReadBackToTheSame32BitValue) {
  EXPECT_EQ(description(0.1f), "0.1");  // not 0.10000000149011612
  EXPECT_EQ(description(0.33333334f), "0.33333334");
  EXPECT_EQ(description(16777216.0f), "16777216.0");
  EXPECT_EQ(description(16777218.0f), "1.6777218e+07");
  EXPECT_EQ(description(3e-5f), "3e-05");
  for (float v : {0.1f, -0.7071068f, 123.456f, 1e-3f, 5.5e-6f}) {
    EXPECT_EQ(std::stof(description(v)), v) << description(v);
  }
}

TEST(DiagnosticsText, LastPathComponent) {
  EXPECT_EQ(lastPathComponent("/a/b/photo.jpg"), "photo.jpg");
  EXPECT_EQ(lastPathComponent("photo.jpg"), "photo.jpg");
  EXPECT_EQ(lastPathComponent("dir/sub/"), "sub");
  EXPECT_EQ(lastPathComponent("/"), "/");
}

TEST(DiagnosticsText, PairwiseRowsCoverEveryPairInOrderAndMarkOnlyDistancesBelowPointSix) {
  // a-b is 0.6 exactly: no match.
  const std::vector<Sample> samples = {
      {"a.jpg", {0.0f, 0.0f}},
      {"b.jpg", {0.6f, 0.0f}},
      {"c.jpg", {0.0f, 0.3f}},
      {"d.jpg", {0.0f, 0.0f}},
  };
  std::ostringstream out;
  printPairwiseRows(samples, out);
  EXPECT_EQ(out.str(),
            "  a.jpg vs b.jpg: 0.6000 \n"
            "  a.jpg vs c.jpg: 0.3000 \u2190 WOULD MATCH\n"
            "  a.jpg vs d.jpg: 0.0000 \u2190 WOULD MATCH\n"
            "  b.jpg vs c.jpg: 0.6708 \n"
            "  b.jpg vs d.jpg: 0.6000 \n"
            "  c.jpg vs d.jpg: 0.3000 \u2190 WOULD MATCH\n");

  std::ostringstream none;
  printPairwiseRows({samples[0]}, none);
  EXPECT_EQ(none.str(), "");
}

}  // namespace
