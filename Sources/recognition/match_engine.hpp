// The temporal match rule of one unlock attempt, and the descriptor comparisons it rests on.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "foundation/recognition_engine.hpp"

namespace quorvel {

// A face descriptor: 128 raw values for dlib, 512 unit-length values for arcface.
using FaceDescriptor = std::vector<float>;

class MatchEngine {
 public:
  struct Decision {
    enum class Kind { unlock, keepLooking };
    Kind kind = Kind::keepLooking;
    double smoothed = 0;
    bool shouldLearn = false;

    static Decision unlock(double smoothed, bool shouldLearn) {
      return {Kind::unlock, smoothed, shouldLearn};
    }
    static Decision keepLooking() { return {}; }
    bool isUnlock() const { return kind == Kind::unlock; }
    bool operator==(const Decision& other) const {
      if (kind != other.kind) return false;
      return kind == Kind::keepLooking ||
             (smoothed == other.smoothed && shouldLearn == other.shouldLearn);
    }
  };

  static constexpr float livenessFloor = 0.55f;
  static constexpr int temporalWindow = 4;
  static constexpr int consecutiveMatches = 3;
  static constexpr double gazeToleranceRadians = 0.35;

  explicit MatchEngine(FaceEngineSpec spec);

  const FaceEngineSpec& spec() const { return spec_; }
  const std::vector<double>& history() const { return history_; }
  std::int64_t consecutive() const { return consecutive_; }

  void reset();
  double score(const FaceDescriptor& a, const FaceDescriptor& b) const;
  double matchScore(const FaceDescriptor& probe, const std::vector<FaceDescriptor>& stored) const;
  // `liveness` is called at most once, and only when the frame could unlock.
  Decision evaluate(double score, const std::function<float()>& liveness, double yaw, double pitch);

  static double cosine(const FaceDescriptor& a, const FaceDescriptor& b);
  static double euclidean(const FaceDescriptor& a, const FaceDescriptor& b);
  static std::optional<std::vector<float>> dimensionWeights(const std::vector<FaceDescriptor>& vectors);
  static double weightedEuclidean(const FaceDescriptor& a, const FaceDescriptor& b,
                                  const std::vector<float>& weights);
  static double poseOffset(double yaw, double pitch);

 private:
  FaceEngineSpec spec_;
  std::vector<double> history_;
  std::int64_t consecutive_ = 0;
};

}  // namespace quorvel
