#include "face_pairs.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <map>
#include <sstream>
#include <thread>

#include "foundation/recognition_engine.hpp"
#include "platform/image/image_io.hpp"
#include "recognition/face_aligner.hpp"
#include "recognition/face_detector.hpp"
#include "recognition/face_models.hpp"

namespace quorvel::face_pairs {
namespace {

std::vector<std::string> fields(const std::string& line) {
  std::vector<std::string> out;
  std::stringstream stream(line);
  std::string field;
  while (std::getline(stream, field, '\t')) out.push_back(field);
  if (!line.empty() && line.back() == '\t') out.emplace_back();
  return out;
}

double percent(int part, int whole) { return whole > 0 ? 100.0 * part / whole : 0.0; }

}  // namespace

std::variant<std::vector<Pair>, std::string> parsePairs(std::istream& in) {
  std::vector<Pair> pairs;
  std::string line;
  int number = 0;
  bool header = true;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    if (header) {
      header = false;
      if (line.rfind("same\t", 0) == 0) continue;
    }
    const std::vector<std::string> f = fields(line);
    const auto fault = [&](const std::string& what) {
      return "line " + std::to_string(number) + ": " + what;
    };
    if (f.size() < 3 || f.size() > 4) return fault("expected 3 or 4 tab-separated fields");
    if (f[0] != "0" && f[0] != "1") return fault("`same` must be 0 or 1");
    if (f[1].empty() || f[2].empty()) return fault("an image name is empty");
    Pair pair{f[0] == "1", f[1], f[2], std::nullopt};
    if (f.size() == 4 && f[3] != "none") {
      std::size_t used = 0;
      double value = 0;
      try {
        value = std::stod(f[3], &used);
      } catch (const std::exception&) {
        used = 0;
      }
      if (used != f[3].size() || !std::isfinite(value) || value < 0) {
        return fault("the reference distance must be a number or `none`");
      }
      pair.reference = value;
    }
    pairs.push_back(std::move(pair));
  }
  if (pairs.empty()) return std::string("no pairs");
  return pairs;
}

std::optional<FaceDescriptor> describePhoto(const std::string& path) {
  const auto photo = platform::image::readImageFile(path);
  if (!photo) return std::nullopt;
  const auto face = FaceDetector::shared().largestFace(photo);
  if (!face) return std::nullopt;
  const FaceEngineSpec& spec = FaceEngineSpec::dlib;
  const auto aligned = FaceAligner::shared().alignedFace(photo, *face, spec);
  if (!aligned) return std::nullopt;
  return FaceModels::shared().embedding(*aligned, spec, *FaceAligner::shared().ciContext());
}

double Figures::accuracyAt06() const { return percent(rightAt06, pairs()); }
double Figures::sameRejectRateAt05() const { return percent(sameRejectedAt05, same); }

Figures figures(const std::vector<Judged>& judged) {
  Figures f;
  for (const Judged& j : judged) {
    if (j.same) {
      ++f.same;
      if (j.distance <= 0.6) ++f.rightAt06;
      if (j.distance > 0.5) ++f.sameRejectedAt05;
    } else {
      ++f.different;
      if (j.distance > 0.6) ++f.rightAt06;
      if (j.distance <= 0.5) ++f.falseAcceptedAt05;
    }
  }
  return f;
}

Report measure(const std::vector<Pair>& pairs, const std::string& imagesFolder,
               const std::function<std::optional<FaceDescriptor>(const std::string&)>& describe,
               int threads) {
  std::map<std::string, std::optional<FaceDescriptor>> descriptors;
  for (const Pair& p : pairs) {
    descriptors[p.imageA];
    descriptors[p.imageB];
  }
  std::vector<std::pair<const std::string, std::optional<FaceDescriptor>>*> work;
  for (auto& entry : descriptors) work.push_back(&entry);
  std::atomic<std::size_t> next{0};
  const auto worker = [&] {
    for (std::size_t i = next++; i < work.size(); i = next++) {
      work[i]->second = describe(imagesFolder + "/" + work[i]->first);
    }
  };
  std::vector<std::thread> pool;
  for (int t = 1; t < std::max(1, threads); ++t) pool.emplace_back(worker);
  worker();
  for (auto& thread : pool) thread.join();

  Report report;
  report.pairs = pairs;
  std::vector<Judged> road, reference;
  for (const Pair& p : pairs) {
    const auto& a = descriptors[p.imageA];
    const auto& b = descriptors[p.imageB];
    std::optional<double> distance;
    if (a && b) distance = MatchEngine::euclidean(*a, *b);
    report.distances.push_back(distance);
    report.hasReference = report.hasReference || p.reference.has_value();
    report.describedByRoad += distance.has_value();
    report.describedByReference += p.reference.has_value();
    if (distance && p.reference) {
      ++report.describedByBoth;
      reference.push_back({p.same, *p.reference});
    }
  }
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    const auto& distance = report.distances[i];
    if (distance && (!report.hasReference || pairs[i].reference)) {
      road.push_back({pairs[i].same, *distance});
    }
  }
  report.road = figures(road);
  report.reference = figures(reference);
  return report;
}

void print(const Report& report, std::ostream& out) {
  char line[200];
  const auto row = [&](const char* name, const Figures& f) {
    std::snprintf(line, sizeof line, "| %s | %.2f %% | %.1f %% (%d of %d) | %d of %d |\n", name,
                  f.accuracyAt06(), f.sameRejectRateAt05(), f.sameRejectedAt05, f.same,
                  f.falseAcceptedAt05, f.different);
    out << line;
  };
  int same = 0;
  for (const Pair& p : report.pairs) same += p.same;
  out << "pairs: " << report.pairs.size() << " (" << same << " same person, "
      << report.pairs.size() - same << " different)\n";
  out << "described by this road: " << report.describedByRoad << "\n";
  if (report.hasReference) {
    out << "described by the reference: " << report.describedByReference << "\n";
    out << "figures on the " << report.describedByBoth << " pairs both describe:\n";
  } else {
    out << "figures on the " << report.describedByRoad << " pairs described:\n";
  }
  out << "| road | accuracy at 0.6 | same-person rejects at 0.5 | false accepts at 0.5 |\n"
         "|---|---|---|---|\n";
  row("this road", report.road);
  if (report.hasReference) row("reference", report.reference);
}

}  // namespace quorvel::face_pairs
