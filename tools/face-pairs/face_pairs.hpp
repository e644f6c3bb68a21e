// Recognition accuracy on labelled face pairs: every photo goes down the road the unlock
// attempt takes (largest face, five-point alignment, the dlib descriptor), and each pair's
// Euclidean distance is judged against the engine's thresholds.
//
// A pairs file is tab-separated, with a header line and one pair a line: `same` (1 for the
// same person, 0 for different people), `imageA`, `imageB` (paths relative to the images
// folder) and, optionally, `reference_distance`: the distance another pipeline gives the pair,
// or `none` when that pipeline described one of its photos not at all.
#pragma once

#include <functional>
#include <istream>
#include <optional>
#include <ostream>
#include <string>
#include <variant>
#include <vector>

#include "recognition/match_engine.hpp"

namespace quorvel::face_pairs {

struct Pair {
  bool same = false;
  std::string imageA;
  std::string imageB;
  std::optional<double> reference;  // no value: absent or "none"
};

// The pairs of a pairs file, or the first fault found (with its line number).
std::variant<std::vector<Pair>, std::string> parsePairs(std::istream& in);

// The descriptor of the largest face of the photo at `path` on the recognition road, or no
// value when the photo cannot be read or the road finds or describes no face. Needs the dlib
// weights loaded (NativeDlib::load).
std::optional<FaceDescriptor> describePhoto(const std::string& path);

// Distances of a set of pairs: (same person, distance).
struct Judged {
  bool same = false;
  double distance = 0;
};

// The figures the thresholds give.
struct Figures {
  int same = 0;                // same-person pairs
  int different = 0;           // different-person pairs
  int rightAt06 = 0;           // same at or below 0.6, different above it
  int sameRejectedAt05 = 0;    // same-person pairs above 0.5
  int falseAcceptedAt05 = 0;   // different-person pairs at or below 0.5
  int pairs() const { return same + different; }
  double accuracyAt06() const;            // percent; 0 for no pairs
  double sameRejectRateAt05() const;      // percent of the same-person pairs; 0 for none
};
Figures figures(const std::vector<Judged>& judged);

// What one run measured: the pairs, the distance of every pair this road describes (no value
// where it does not) and the figures.
struct Report {
  std::vector<Pair> pairs;
  std::vector<std::optional<double>> distances;
  int describedByRoad = 0;
  int describedByReference = 0;
  int describedByBoth = 0;
  Figures road;       // on the pairs both describe (on every pair the road describes when the
  Figures reference;  // file gives no reference distances)
  bool hasReference = false;
};

// Describes every distinct photo once (`describe` gives the descriptor of the photo at a
// path, on `threads` threads at once) and measures the pairs.
Report measure(const std::vector<Pair>& pairs, const std::string& imagesFolder,
               const std::function<std::optional<FaceDescriptor>(const std::string&)>& describe,
               int threads = 1);

// The report as printed by the command.
void print(const Report& report, std::ostream& out);

}  // namespace quorvel::face_pairs
