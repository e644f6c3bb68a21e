// The two recognition engines and every engine-specific constant of the pipeline.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/geometry/geometry.hpp"

namespace quorvel {

struct RGBMean {
  float r, g, b;
};

struct FaceEngineSpec {
  std::string modelName;
  std::int64_t inputSide;
  RGBMean mean;
  float scale;
  // Five points: the eyes (smaller x first), the nose, the mouth corners (smaller x first),
  // in pixels of the aligned square with the origin at its bottom-left corner.
  std::vector<platform::Point> templatePoints;
  double templateSide;
  bool normaliseDescriptor;
  bool higherIsBetter;
  double instantThreshold;
  double baseThreshold;
  double absoluteLimit;
  double learnThreshold;

  static const FaceEngineSpec dlib;
  static const FaceEngineSpec arcface;

  // Whether `score` passes `threshold` in this engine's direction (equality passes).
  bool meets(double score, double threshold) const;
  // `threshold` loosened by `amount`, never past `limit`.
  double relax(double threshold, double amount, double limit) const;
};

enum class RecognitionEngine { dlib, arcface };

namespace recognition_engine {
inline constexpr std::array<RecognitionEngine, 2> allCases = {RecognitionEngine::dlib,
                                                              RecognitionEngine::arcface};
// The engines the user may choose in this build.
std::vector<RecognitionEngine> selectable();
std::optional<RecognitionEngine> fromRawValue(std::string_view raw);
}  // namespace recognition_engine

std::string rawValue(RecognitionEngine engine);
std::string displayName(RecognitionEngine engine);
bool sellable(RecognitionEngine engine);
const FaceEngineSpec& spec(RecognitionEngine engine);

}  // namespace quorvel
