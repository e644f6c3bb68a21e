#include "foundation/recognition_engine.hpp"

#include <algorithm>

#include "foundation/build_flavour.hpp"

namespace quorvel {

const FaceEngineSpec FaceEngineSpec::dlib{
    "DlibFace",
    150,
    {122.782f, 117.001f, 104.298f},
    256.0f,
    {{47.549, 103.401}, {100.476, 103.401}, {74.013, 73.437}, {50.415, 46.977}, {97.61, 46.977}},
    150,
    false,
    false,
    0.42,
    0.5,
    0.58,
    0.35};

const FaceEngineSpec FaceEngineSpec::arcface{
    "VavozuDare",
    112,
    {127.5f, 127.5f, 127.5f},
    128.0f,
    {{87.53, 137.84}, {168.07, 138.28}, {128.06, 92.03}, {94.97, 44.88}, {161.67, 45.25}},
    256,
    true,
    true,
    0.88,
    0.8,
    0.74,
    0.88};

bool FaceEngineSpec::meets(double score, double threshold) const {
  return higherIsBetter ? score >= threshold : score <= threshold;
}

double FaceEngineSpec::relax(double threshold, double amount, double limit) const {
  return higherIsBetter ? std::max(threshold - amount, limit) : std::min(threshold + amount, limit);
}

namespace recognition_engine {

std::vector<RecognitionEngine> selectable() {
  if (BuildFlavour::isDeveloper) return {allCases.begin(), allCases.end()};
  return {RecognitionEngine::dlib};
}

std::optional<RecognitionEngine> fromRawValue(std::string_view raw) {
  if (raw == "dlib") return RecognitionEngine::dlib;
  if (raw == "arcface") return RecognitionEngine::arcface;
  return std::nullopt;
}

}  // namespace recognition_engine

std::string rawValue(RecognitionEngine engine) {
  return engine == RecognitionEngine::dlib ? "dlib" : "arcface";
}

std::string displayName(RecognitionEngine engine) {
  return engine == RecognitionEngine::dlib ? "dlib (public domain)" : "ArcFace (personal use only)";
}

bool sellable(RecognitionEngine engine) { return engine == RecognitionEngine::dlib; }

const FaceEngineSpec& spec(RecognitionEngine engine) {
  return engine == RecognitionEngine::dlib ? FaceEngineSpec::dlib : FaceEngineSpec::arcface;
}

}  // namespace quorvel
