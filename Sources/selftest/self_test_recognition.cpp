// The alignment, tensor, match, per-engine and native dlib groups of the self-test.
#include <cmath>
#include <functional>

#include "foundation/recognition_engine.hpp"
#include "platform/bundle/bundle.hpp"
#include "platform/image/image.hpp"
#include "recognition/face_aligner.hpp"
#include "recognition/face_models.hpp"
#include "recognition/face_tensors.hpp"
#include "recognition/match_engine.hpp"
#include "recognition/native_dlib.hpp"
#include "selftest/self_test.hpp"
#include "selftest/self_test_format.hpp"

namespace quorvel {

namespace {

using Check = SelfTest::Check;
using self_test_format::fixed4;
using self_test_format::shortest;

platform::image::Image plain(double red, double green, double blue, double side = 256) {
  return platform::image::Image::color({red, green, blue, 1})
      .cropped(platform::Rect{{0, 0}, {side, side}});
}

// The printed form of a decision.
std::string printed(const MatchEngine::Decision& decision) {
  if (!decision.isUnlock()) return "keepLooking";
  return "unlock(smoothed: " + shortest(decision.smoothed) +
         ", shouldLearn: " + (decision.shouldLearn ? "true" : "false") + ")";
}

// Feeds a fresh engine the same frame up to `times` times; true when no decision unlocked.
bool neverUnlocks(const FaceEngineSpec& spec, double score, float liveness, double yaw,
                  int times) {
  MatchEngine engine(spec);
  for (int i = 0; i < times; ++i) {
    if (engine.evaluate(score, [liveness] { return liveness; }, yaw, 0).isUnlock()) return false;
  }
  return true;
}

double length(const std::vector<float>& values) {
  double sum = 0;
  for (float v : values) sum += double(v) * v;
  return std::sqrt(sum);
}

}  // namespace

std::vector<Check> SelfTest::alignmentChecks() {
  std::vector<Check> checks;
  const auto& points = FaceAligner::templatePoints();
  if (const auto same = SimilarityTransform::estimate(points, points)) {
    checks.push_back({"Alignment: same points give no transform",
                      std::abs(same->a - 1) < 1e-6 && std::abs(same->b) < 1e-6 &&
                          std::abs(same->tx) < 0.0001 && std::abs(same->ty) < 0.0001,
                      "a=" + fixed4(same->a) + " b=" + fixed4(same->b)});
  } else {
    checks.push_back({"Alignment: same points give no transform", false, "estimate returned nil"});
  }
  constexpr double a = 1.6240720315135302, b = 0.5023843513242772;
  const platform::AffineTransform known{a, b, -b, a, 12, -8};
  std::vector<platform::Point> moved;
  for (const auto& p : points) moved.push_back(known.apply(p));
  if (const auto t = SimilarityTransform::estimate(points, moved)) {
    checks.push_back({"Alignment: recovers a known rotation and scale",
                      std::abs(t->a - a) < 0.0001 && std::abs(t->b - b) < 0.0001 &&
                          std::abs(t->tx - 12) < 0.001 && std::abs(t->ty + 8) < 0.001,
                      "a=" + fixed4(t->a) + " expected " + fixed4(a)});
  } else {
    checks.push_back(
        {"Alignment: recovers a known rotation and scale", false, "estimate returned nil"});
  }
  const std::vector<platform::Point> degenerate(5, platform::Point{5, 5});
  checks.push_back({"Alignment: rejects degenerate points",
                    !SimilarityTransform::estimate(degenerate, points).has_value(),
                    "identical points must return nil"});
  return checks;
}

std::vector<Check> SelfTest::tensorChecks() {
  std::vector<Check> checks;
  auto& tensors = FaceTensors::shared();
  const auto recognition = FaceTensors::Normalisation::forEngine(FaceEngineSpec::arcface);
  const auto black = tensors.tensor(plain(0, 0, 0), 112, recognition);
  const auto white = tensors.tensor(plain(1, 1, 1), 112, recognition);
  if (!black || !white) {
    checks.push_back({"Tensor: recognition normalisation", false, "could not build tensor"});
  } else {
    const double v0 = (*black)[0], v1 = (*white)[0];
    checks.push_back({"Tensor: black maps to about -1 (recognition)",
                      std::abs(v0 + 0.996) < 0.02, "got " + fixed4(v0)});
    checks.push_back({"Tensor: white maps to about +1 (recognition)",
                      std::abs(v1 - 0.996) < 0.02, "got " + fixed4(v1)});
  }
  const auto unit = FaceTensors::Normalisation::unit();
  const auto liveBlack = tensors.tensor(plain(0, 0, 0), 128, unit);
  const auto liveWhite = tensors.tensor(plain(1, 1, 1), 128, unit);
  if (liveBlack && liveWhite) {
    const double v0 = (*liveBlack)[0], v1 = (*liveWhite)[0];
    checks.push_back(
        {"Tensor: black maps to 0 (liveness)", std::abs(v0) < 0.02, "got " + fixed4(v0)});
    checks.push_back(
        {"Tensor: white maps to 1 (liveness)", std::abs(v1 - 1) < 0.02, "got " + fixed4(v1)});
  }
  if (const auto red = tensors.tensor(plain(1, 0, 0), 112, unit)) {
    const double r = (*red)[0], g = (*red)[12544], b = (*red)[25088];
    checks.push_back({"Tensor: channel order is RGB, not BGR", r > 0.9 && g < 0.1 && b < 0.1,
                      "r=" + fixed4(r) + " g=" + fixed4(g) + " b=" + fixed4(b)});
  }
  return checks;
}

std::vector<Check> SelfTest::matchChecks() {
  std::vector<Check> checks;
  const double same = MatchEngine::cosine({1, 0, 0, 0}, {1, 0, 0, 0});
  checks.push_back(
      {"Match: identical faceprints score 1.0", std::abs(same - 1) < 1e-6, fixed4(same)});
  const double unrelated = MatchEngine::cosine({1, 0, 0, 0}, {0, 1, 0, 0});
  checks.push_back(
      {"Match: unrelated faceprints score 0.0", std::abs(unrelated) < 1e-6, fixed4(unrelated)});

  const auto& dlib = FaceEngineSpec::dlib;
  const auto& arcface = FaceEngineSpec::arcface;
  const double onePose =
      MatchEngine(dlib).matchScore({0.25, 0, 0}, {{0, 0, 0}, {1.2, 0, 0}, {-0.6, 0, 0}});
  checks.push_back({"Match: resembling only one enrolled pose scores as a poor overall match",
                    dlib.baseThreshold < onePose,
                    "closest single sample is 0.25 away; averaged score is " + fixed4(onePose) +
                        " (threshold " + shortest(dlib.baseThreshold) + ")"});
  checks.push_back({"Match: a probe resembling only one of nine enrolled samples is rejected",
                    neverUnlocks(dlib, onePose, 0.95f, 0, 20),
                    "this is the exact shape of the false-accept bug fixed: matching any single "
                    "enrolled sample used to be enough on its own"});

  const std::vector<FaceDescriptor> samples = {{0, 0}, {0.01f, 0.5f}, {-0.01f, -0.5f}, {0, 0.3f}};
  const auto w = MatchEngine::dimensionWeights(samples);
  if (!w || w->size() < 2) {
    checks.push_back({"Calibration: weights computed from enrolled samples", false,
                      "dimensionWeights returned nil"});
    return checks;
  }
  checks.push_back({"Calibration: a stable dimension is weighted far above a noisy one",
                    (*w)[1] * 100 < (*w)[0],
                    "stable dim weight " + fixed4((*w)[0]) + ", noisy dim weight " +
                        fixed4((*w)[1])});
  double mean = 0;
  for (float v : *w) mean += v;
  mean /= double(w->size());
  checks.push_back(
      {"Calibration: weights average to 1, so old thresholds still mean the same thing",
       std::abs(mean - 1) < 0.01, "mean weight " + fixed4(mean)});
  const FaceDescriptor p = {0.1f, 0.2f, 0.3f, 0.4f}, q = {0.4f, 0.1f, 0, 0.9f};
  checks.push_back({"Calibration: uniform weights reduce to plain Euclidean distance",
                    std::abs(MatchEngine::weightedEuclidean(p, q, {1, 1, 1, 1}) -
                             MatchEngine::euclidean(p, q)) < 1e-6,
                    "must be identical when every weight is 1"});
  const MatchEngine calibrated(dlib);
  const double s1 = calibrated.matchScore({0.2f, 0.075f}, samples);
  const double s2 = calibrated.matchScore({0, 0.275f}, samples);
  checks.push_back(
      {"Calibration: deviating on this person's stable dimension scores as a worse match", s2 < s1,
       "same-size deviation, stable-dim score " + fixed4(s1) + " vs noisy-dim score " +
           fixed4(s2) + " \u2014 plain Euclidean would call these equal"});
  checks.push_back({"Calibration: fewer than four samples falls back to no weighting",
                    !MatchEngine::dimensionWeights({samples[0], samples[1], samples[2]}),
                    "not enough data to say anything about variance yet"});

  const double close =
      MatchEngine(dlib).matchScore({0, 0, 0}, {{0.1f, 0, 0}, {0.15f, 0, 0}, {0.05f, 0, 0}});
  checks.push_back({"Match: a probe close to all enrolled samples still scores as a strong match",
                    close < dlib.instantThreshold,
                    "averaged score " + fixed4(close) + ", instant threshold " +
                        shortest(dlib.instantThreshold)});
  checks.push_back({"Match: a perfect face with liveness 0.40 never unlocks",
                    neverUnlocks(arcface, 0.99, 0.4f, 0, 10),
                    "liveness floor is " + shortest(MatchEngine::livenessFloor)});
  {
    MatchEngine engine(arcface);
    const auto decision = engine.evaluate(0.95, [] { return 0.9f; }, 0, 0);
    checks.push_back(
        {"Match: a score of 0.95 unlocks immediately", decision.isUnlock(), printed(decision)});
  }
  {
    MatchEngine engine(arcface);
    const bool firstWaits = !engine.evaluate(0.83, [] { return 0.9f; }, 0, 0).isUnlock();
    int frame = 6;
    bool unlocked = false;
    for (int n = 2; n <= 6; ++n) {
      if (engine.evaluate(0.83, [] { return 0.9f; }, 0, 0).isUnlock()) {
        frame = n;
        unlocked = true;
        break;
      }
    }
    checks.push_back({"Match: a score of 0.83 needs several frames", firstWaits && unlocked,
                      "unlocked after " + std::to_string(frame) + " frames"});
  }
  checks.push_back({"Match: a perfect face turned 46\u00B0 away never unlocks",
                    neverUnlocks(arcface, 0.99, 0.95f, 0.8, 20),
                    "gaze tolerance is " + shortest(MatchEngine::gazeToleranceRadians) +
                        " radians"});
  checks.push_back({"Match: a score of 0.60 never unlocks", neverUnlocks(arcface, 0.6, 0.95f, 0, 20),
                    "someone else's face must not get in"});
  // Asks the engine's own rule, so a relaxation that stops honouring its limit fails here.
  const double offset = MatchEngine::poseOffset(3, 3);
  const double relaxed = arcface.relax(arcface.baseThreshold, offset, arcface.absoluteLimit);
  checks.push_back({"Match: head angle never drops the bar below " +
                        shortest(arcface.absoluteLimit),
                    relaxed >= arcface.absoluteLimit - 1e-9, "floored at " + fixed4(relaxed)});
  return checks;
}

std::vector<Check> SelfTest::engineChecks() {
  std::vector<Check> checks;
  const auto& context = *FaceAligner::shared().ciContext();
  for (const auto engine : recognition_engine::selectable()) {
    const auto& spec = quorvel::spec(engine);
    const std::string raw = "Engine " + quorvel::rawValue(engine) + ": ";
    const auto d1 = FaceModels::shared().embedding(plain(0.5, 0.5, 0.5), spec, context);
    if (!d1) {
      checks.push_back({raw + "model loads and runs", false, "no descriptor produced"});
      continue;
    }
    const std::size_t expected = engine == RecognitionEngine::dlib ? 128 : 512;
    checks.push_back({raw + "descriptor is " + std::to_string(expected) + " numbers",
                      d1->size() == expected, "got " + std::to_string(d1->size())});
    const double n = length(*d1);
    if (spec.normaliseDescriptor) {
      checks.push_back({raw + "descriptor scaling is correct", std::abs(n - 1) < 0.001,
                        "must be unit length, is " + fixed4(n)});
    } else {
      checks.push_back({raw + "descriptor scaling is correct", std::abs(n - 1) >= 0.001,
                        "must NOT be normalised (dlib compares by distance), length " + fixed4(n)});
    }
    const MatchEngine matcher(spec);
    const double self = matcher.score(*d1, *d1);
    checks.push_back({raw + "identical faces score perfectly",
                      spec.higherIsBetter ? std::abs(self - 1) < 0.0001 : self < 0.0001,
                      (spec.higherIsBetter ? "similarity " : "distance ") + fixed4(self)});
    if (const auto d2 = FaceModels::shared().embedding(plain(1, 0, 0), spec, context)) {
      const double s = matcher.score(*d1, *d2);
      checks.push_back({raw + "different images differ",
                        spec.higherIsBetter ? s < 0.999 : s > 0.001, fixed4(s)});
    }
  }
  checks.push_back({"Engine dlib: a distance of 0.95 never unlocks",
                    neverUnlocks(FaceEngineSpec::dlib, 0.95, 0.95f, 0, 20),
                    "for dlib, lower is better \u2014 0.95 is a stranger"});
  MatchEngine dlib(FaceEngineSpec::dlib);
  const auto decision = dlib.evaluate(0.2, [] { return 0.95f; }, 0, 0);
  checks.push_back(
      {"Engine dlib: a distance of 0.20 unlocks", decision.isUnlock(), printed(decision)});
  return checks;
}

std::vector<Check> SelfTest::nativeDlibChecks() {
  std::vector<Check> checks;
  const auto bundle = platform::bundle::current();
  checks.push_back({"Native dlib: bundled weight file is present",
                    bundle && bundle->fileURL("dlib_face_recognition_resnet_model_v1", "dat"),
                    "dlib's own .dat file must ship in Resources"});
  checks.push_back({"Native dlib: bridge loaded successfully", NativeDlib::isLoaded(),
                    "dlib_bridge_load must have succeeded during prewarm/self-test setup"});
  const auto& context = *FaceAligner::shared().ciContext();
  const auto grey = plain(0.5, 0.5, 0.5, 150);
  const auto e1 = NativeDlib::embedding(grey, context);
  if (!e1) {
    checks.push_back({"Native dlib: produces an embedding", false, "no output from the bridge"});
    return checks;
  }
  checks.push_back({"Native dlib: embedding is 128 numbers", e1->size() == 128,
                    "got " + std::to_string(e1->size())});
  const double n = length(*e1);
  checks.push_back({"Native dlib: output is not unit-length (matches by distance, not cosine)",
                    std::abs(n - 1) > 0.01,
                    "norm " + fixed4(n) + " \u2014 dlib compares by Euclidean distance"});
  if (const auto e2 = NativeDlib::embedding(grey, context)) {
    const double d = MatchEngine::euclidean(*e1, *e2);
    checks.push_back({"Native dlib: the same image gives the same embedding", d < 0.0001,
                      "distance to itself: " + fixed4(d)});
  }
  return checks;
}

}  // namespace quorvel
