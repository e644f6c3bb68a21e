#include "recognition/match_engine.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace quorvel {
namespace {
constexpr double kWorstDistance = std::numeric_limits<double>::max();
constexpr double kYawCoefficient = 0.055;
constexpr double kPitchCoefficient = 0.045;
constexpr double kInstantMargin = 0.08;
constexpr float kVarianceFloor = 0.0001f;
}  // namespace

MatchEngine::MatchEngine(FaceEngineSpec spec) : spec_(std::move(spec)) {}

void MatchEngine::reset() {
  history_.clear();
  consecutive_ = 0;
}

double MatchEngine::score(const FaceDescriptor& a, const FaceDescriptor& b) const {
  return spec_.higherIsBetter ? cosine(a, b) : euclidean(a, b);
}

// Element arithmetic stays in 32-bit floats, in index order, so that every caller gets the
// same bits; only the result is widened.
double MatchEngine::cosine(const FaceDescriptor& a, const FaceDescriptor& b) {
  if (a.empty() || a.size() != b.size()) return 0;
  float dot = 0;
  for (std::size_t i = 0; i < a.size(); ++i) dot += a[i] * b[i];
  return static_cast<double>(std::clamp(dot, -1.0f, 1.0f));
}

double MatchEngine::euclidean(const FaceDescriptor& a, const FaceDescriptor& b) {
  if (a.empty() || a.size() != b.size()) return kWorstDistance;
  float sum = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const float d = a[i] - b[i];
    sum += d * d;
  }
  return static_cast<double>(std::sqrt(sum));
}

std::optional<std::vector<float>> MatchEngine::dimensionWeights(
    const std::vector<FaceDescriptor>& vectors) {
  const std::size_t n = vectors.size();
  if (n < 4) return std::nullopt;
  const std::size_t d = vectors.front().size();
  if (d == 0) return std::nullopt;
  for (const auto& v : vectors) {
    if (v.size() != d) return std::nullopt;
  }
  const float count = static_cast<float>(n);
  std::vector<float> mean(d, 0.0f);
  for (const auto& v : vectors) {
    for (std::size_t i = 0; i < d; ++i) mean[i] += v[i];
  }
  for (auto& m : mean) m /= count;
  std::vector<float> weights(d, 0.0f);
  for (const auto& v : vectors) {
    for (std::size_t i = 0; i < d; ++i) {
      const float delta = v[i] - mean[i];
      weights[i] += delta * delta;
    }
  }
  float total = 0;
  for (auto& w : weights) {
    w = 1.0f / (w / count + kVarianceFloor);
    total += w;
  }
  const float average = total / static_cast<float>(d);
  if (!(average > 0)) return std::nullopt;
  for (auto& w : weights) w /= average;
  return weights;
}

double MatchEngine::weightedEuclidean(const FaceDescriptor& a, const FaceDescriptor& b,
                                      const std::vector<float>& weights) {
  if (a.empty() || a.size() != b.size()) return kWorstDistance;
  if (weights.size() != a.size()) return euclidean(a, b);
  float sum = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const float d = a[i] - b[i];
    sum += d * (weights[i] * d);
  }
  return static_cast<double>(std::sqrt(sum));
}

double MatchEngine::matchScore(const FaceDescriptor& probe,
                               const std::vector<FaceDescriptor>& stored) const {
  if (stored.empty()) return spec_.higherIsBetter ? 0.0 : kWorstDistance;
  std::vector<double> scores;
  scores.reserve(stored.size());
  if (spec_.higherIsBetter) {
    for (const auto& v : stored) scores.push_back(cosine(probe, v));
    std::stable_sort(scores.begin(), scores.end(), std::greater<double>());
  } else {
    const auto weights = dimensionWeights(stored);
    for (const auto& v : stored) {
      scores.push_back(weights ? weightedEuclidean(probe, v, *weights) : euclidean(probe, v));
    }
    std::stable_sort(scores.begin(), scores.end());
  }
  const std::size_t k = std::min<std::size_t>(3, scores.size());
  double sum = 0.0;
  for (std::size_t i = 0; i < k; ++i) sum += scores[i];
  return sum / static_cast<double>(k);
}

double MatchEngine::poseOffset(double yaw, double pitch) {
  return kYawCoefficient * std::fabs(yaw) + kPitchCoefficient * std::fabs(pitch);
}

MatchEngine::Decision MatchEngine::evaluate(double score, const std::function<float()>& liveness,
                                            double yaw, double pitch) {
  history_.push_back(score);
  if (history_.size() > static_cast<std::size_t>(temporalWindow)) history_.erase(history_.begin());
  double sum = 0.0;
  for (double s : history_) sum += s;
  const double smoothed = sum / static_cast<double>(history_.size());

  const bool withinGaze =
      !(std::fabs(yaw) > gazeToleranceRadians || std::fabs(pitch) > gazeToleranceRadians);
  if (withinGaze) {
    const double offset = poseOffset(yaw, pitch);
    const double sustainedThreshold = spec_.relax(spec_.baseThreshold, offset, spec_.absoluteLimit);
    const double instantLimit = spec_.higherIsBetter ? spec_.absoluteLimit + kInstantMargin
                                                     : spec_.absoluteLimit - kInstantMargin;
    const double instantThreshold = spec_.relax(spec_.instantThreshold, offset, instantLimit);
    const bool instant =
        spec_.meets(smoothed, instantThreshold) || spec_.meets(score, instantThreshold);
    const bool sustained = spec_.meets(smoothed, sustainedThreshold);
    if ((instant || sustained) && liveness() >= livenessFloor) {
      const auto decision = Decision::unlock(smoothed, spec_.meets(smoothed, spec_.learnThreshold));
      if (instant) {
        consecutive_ = consecutiveMatches;
        return decision;
      }
      consecutive_ += 1;
      if (consecutive_ < consecutiveMatches) return Decision::keepLooking();
      return decision;
    }
  }
  if (consecutive_ > 0) consecutive_ -= 1;
  return Decision::keepLooking();
}

}  // namespace quorvel
