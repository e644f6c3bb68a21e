// The hand-pose layer reading its two models' outputs, as arbitrary floats: the palm
// detector's regressors and scores for some anchors (the others score nothing) in a frame of
// some size, the merged palms, and for each palm the landmark model's two reads (21 points
// and a presence), with the checks a hand must pass and the square that follows it.
#include <algorithm>
#include <vector>

#include "fuzz_input.hpp"
#include "platform/vision/hand_pose_model.hpp"

using namespace platform::vision::handmodel;

namespace {

// The Linux detector's floors (hand_pose_linux.cpp).
constexpr float kMinimumPalmScore = 0.5f;
constexpr float kMinimumPresence = 0.9f;

FoundHand read(quorvel::fuzz::Input& input, const HandRegion& region, float palmScore) {
  float points[kLandmarkCount * 3];
  for (float& value : points) value = input.take<float>();
  return handFromOutput(region, points, input.take<float>(), palmScore);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quorvel::fuzz::Input input(data, size);
  const int width = 1 + input.take<std::uint16_t>();
  const int height = 1 + input.take<std::uint16_t>();
  std::vector<float> regressors(std::size_t{kAnchorCount} * kPalmValuesPerAnchor, 0.0f);
  std::vector<float> logits(kAnchorCount, -100.0f);
  const int palms = input.take<std::uint8_t>() % 9;
  for (int p = 0; p < palms; ++p) {
    const std::size_t anchor = input.take<std::uint16_t>() % kAnchorCount;
    for (int k = 0; k < kPalmValuesPerAnchor; ++k)
      regressors[anchor * kPalmValuesPerAnchor + k] = input.take<float>();
    logits[anchor] = input.take<float>();
  }

  const auto decoded =
      decodePalms(regressors.data(), logits.data(), Letterbox::fit(width, height), kMinimumPalmScore);
  FUZZ_CHECK(decoded.size() <= static_cast<std::size_t>(palms));
  for (const auto& palm : decoded) FUZZ_CHECK(palm.score >= kMinimumPalmScore && palm.score <= 1.0f);
  const auto merged = weightedNonMaxSuppression(decoded);
  FUZZ_CHECK(merged.size() <= decoded.size());
  for (const PalmDetection& palm : merged) {
    const FoundHand first = read(input, regionFromPalm(palm), palm.score);
    (void)isHandLike(first, kMinimumPresence);
    (void)keypointDisagreement(palm, first);
    const FoundHand second = read(input, regionFromLandmarks(first.landmarks), palm.score);
    (void)isHandLike(second, kMinimumPresence);
    (void)second.bounds().contains(palm.centre);
    const double shared = overlap(palm.box(), second.bounds());
    FUZZ_CHECK(!(shared < 0));
  }
  return 0;
}
