// How the diagnostic switches write numbers and comparison rows.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace quorvel::diagnostics {

// A number as the platform's default description writes it: the shortest decimal form that
// reads back to the same value, always with a fraction part ("220.0", "0.25", "-0.5"),
// switching to exponent form for magnitudes below 1e-4 ("1e-05", "2.5e-07") and above 2^53
// for doubles or 2^24 for floats ("1e+16", "1.6777218e+07"); "nan", "inf" and "-inf".
std::string description(double value);
std::string description(float value);

// One processed image: its file name and its face descriptor.
struct Sample {
  std::string name;
  std::vector<float> embedding;
};

// The last path component of `path` ("/a/b.jpg" -> "b.jpg", "b.jpg/" -> "b.jpg").
std::string lastPathComponent(const std::string& path);

// "  a vs b: 0.4213 ← WOULD MATCH" (the marker only below 0.6; otherwise the row ends with the
// space), one row for every pair i < j, in list order.
void printPairwiseRows(const std::vector<Sample>& samples, std::ostream& out);

}  // namespace quorvel::diagnostics
