// The model, match-test text, palm gesture, enrolment ring and lock state groups.
#include <cmath>
#include <limits>
#include <numbers>
#include <optional>

#include "app/menu_bar_controller.hpp"
#include "foundation/build_flavour.hpp"
#include "onboarding/enrolment_model.hpp"
#include "onboarding/tutorial_controller.hpp"
#include "overlay/lock_screen_overlay.hpp"
#include "platform/bundle/bundle.hpp"
#include "recognition/face_models.hpp"
#include "recognition/face_tensors.hpp"
#include "recognition/match_engine.hpp"
#include "platform/image/image.hpp"
#include "recognition/palm_detector.hpp"
#include "selftest/self_test.hpp"
#include "selftest/self_test_format.hpp"
#include "unlock/lock_monitor.hpp"
#include "unlock/unlocker.hpp"

namespace quorvel {

namespace {

using self_test_format::fixed4;
using self_test_format::shortest;

const char* boolText(bool value) { return value ? "true" : "false"; }

PalmDetector::Hand hand(int extended) {
  PalmDetector::Hand result;
  result.wrist = {0, 0};
  for (int i = 0; i < 5; ++i) {
    result.joints.push_back({0, 0.5});
    result.tips.push_back({0, i < extended ? 1.0 : 0.52});
  }
  return result;
}

PalmDetector::Hand uniformHand(double tipY, double jointY) {
  PalmDetector::Hand result;
  result.wrist = {0, 0};
  for (int i = 0; i < 5; ++i) {
    result.joints.push_back({0, jointY});
    result.tips.push_back({0, tipY});
  }
  return result;
}

}  // namespace

std::vector<SelfTest::Check> SelfTest::modelChecks() {
  if (BuildFlavour::isDeveloper) return developerModelChecks();
  // A customer build checks that the personal-use model is not in the bundle, in either of
  // the forms the model host would load (compiled or package).
  const auto bundle = platform::bundle::current();
  const bool carried = bundle && (bundle->url("VavozuDare", "mlmodelc").has_value() ||
                                  bundle->url("VavozuDare", "mlpackage").has_value());
  return {{"Model: research model is absent from this build", !carried,
           "customer builds must not carry the personal-use model"}};
}

namespace {

// A 256-pixel square of one colour.
platform::image::Image squareOf(double red, double green, double blue) {
  return platform::image::Image::color({red, green, blue, 1})
      .cropped(platform::Rect(0, 0, 256, 256));
}

std::optional<FaceDescriptor> descriptorOf(const platform::image::Image& image) {
  const auto& spec = FaceEngineSpec::arcface;
  const auto tensor = FaceTensors::shared().tensor(
      image, static_cast<int>(spec.inputSide), FaceTensors::Normalisation::forEngine(spec));
  if (!tensor) return std::nullopt;
  return FaceModels::shared().embedding(*tensor, spec);
}

}  // namespace

std::vector<SelfTest::Check> SelfTest::developerModelChecks() {
  std::vector<Check> checks;
  const auto grey = squareOf(0.5, 0.5, 0.5);
  const auto first = descriptorOf(grey);
  if (!first) {
    // The group is then this one failed check.
    return {{"Model: recognition model loads and runs", false, "no embedding produced"}};
  }
  const std::size_t length = first->size();
  checks.push_back({"Model: recognition model loads and runs", true,
                    std::to_string(length) + " numbers out"});
  checks.push_back({"Model: faceprint is 512 numbers", length == 512,
                    "got " + std::to_string(length)});
  float sum = 0;
  for (float v : *first) sum += v * v;
  const float norm = std::sqrt(sum);
  checks.push_back({"Model: faceprint is unit length", std::fabs(norm - 1.0f) < 0.0001f,
                    "length " + fixed4(norm)});
  if (const auto second = descriptorOf(grey)) {
    const double s = MatchEngine::cosine(*first, *second);
    checks.push_back({"Model: the same image scores 1.0 against itself",
                      std::fabs(s - 1) < 0.0001, fixed4(s)});
  }
  if (const auto red = descriptorOf(squareOf(1, 0, 0))) {
    const double s = MatchEngine::cosine(*first, *red);
    checks.push_back({"Model: two different images do not score 1.0", s < 0.999,
                      "grey vs red scored " + fixed4(s)});
  }
  std::optional<float> live;
  if (const auto tensor =
          FaceTensors::shared().tensor(grey, 128, FaceTensors::Normalisation::unit())) {
    live = FaceModels::shared().liveness(*tensor);
  }
  if (!live) {
    checks.push_back({"Model: liveness model loads and runs", false, "no score produced"});
  } else {
    const float p = *live;
    checks.push_back({"Model: liveness model loads and runs", true, "scored " + fixed4(p)});
    checks.push_back({"Model: liveness score is a probability", p >= 0 && p <= 1, fixed4(p)});
  }
  return checks;
}

std::vector<SelfTest::Check> SelfTest::matchTestTextChecks() {
  std::vector<Check> checks;
  const std::string sentinel = MenuBarController::scoreText(std::numeric_limits<double>::max());
  checks.push_back({"Match test: the no-enrolment sentinel is not shown as a number",
                    sentinel == "\u2014",
                    "scoreText(.greatestFiniteMagnitude) == \"" + sentinel + "\""});
  const std::string genuine = MenuBarController::scoreText(0.42);
  checks.push_back({"Match test: a genuine score still reads normally", genuine == "0.420",
                    "scoreText(0.42) == \"" + genuine + "\""});
  return checks;
}

std::vector<SelfTest::Check> SelfTest::palmGestureChecks() {
  std::vector<Check> checks;
  checks.push_back({"Palm gesture: an open hand is recognised",
                    PalmDetector::isOpenHand(hand(5)),
                    "five extended fingers read as an open hand"});
  const bool closed = PalmDetector::isOpenHand(hand(0));
  checks.push_back({"Palm gesture: a closed hand does not cancel an unlock", !closed,
                    std::string("no extended fingers read as ") + boolText(closed)});
  const bool two = PalmDetector::isOpenHand(hand(2));
  checks.push_back({"Palm gesture: a couple of fingers is not the signal", !two,
                    std::string("two extended fingers read as ") + boolText(two) +
                        ", needs " + std::to_string(PalmDetector::fingersForOpenHand)});
  checks.push_back({"Palm gesture: a hand with the thumb tucked still counts",
                    PalmDetector::isOpenHand(hand(4)),
                    "four extended fingers read as an open hand"});
  const bool folded = PalmDetector::isOpenHand(uniformHand(1.0, 0.0));
  checks.push_back({"Palm gesture: a hand folded onto the wrist cannot divide by zero", !folded,
                    std::string("joints on the wrist read as ") + boolText(folded) +
                        ", not a crash"});
  const auto small = uniformHand(0.1, 0.05);
  checks.push_back({"Palm gesture: the rule does not depend on distance",
                    PalmDetector::isOpenHand(small),
                    "a small, distant open hand still reads as open"});
  const double reach = PalmDetector::reach(small);
  checks.push_back({"Palm gesture: a hand too small in frame is ignored",
                    reach < PalmDetector::minimumReach,
                    "reach " + shortest(reach) + " is below the " +
                        shortest(PalmDetector::minimumReach) + " needed to act"});
  return checks;
}

std::vector<SelfTest::Check> SelfTest::enrolmentRingChecks() {
  using M = EnrolmentModel;
  std::vector<Check> checks;
  bool ownTick = true;
  for (int i = 0; i < M::tickCount && ownTick; ++i) {
    const double angle = 2 * std::numbers::pi / M::tickCount * i;
    const auto tick = M::nearestTick({0.5 * std::sin(angle), 0.5 * std::cos(angle)});
    ownTick = tick && tick->index == i;
  }
  checks.push_back({"Enrolment: every ring direction maps to its own tick", ownTick,
                    std::to_string(M::tickCount) + " ticks, each " +
                        fixed4(360.0 / M::tickCount) + "\u00B0 apart"});
  const double e0 = M::tickEmphasis(0, {0, 0.5});
  const double e3 = M::tickEmphasis(3, {0, 0.5});
  checks.push_back({"Enrolment: a tick lights only when pointed at", e3 < 0.01 && e0 > 0.9,
                    "aimed tick " + fixed4(e0) + ", quarter-turn away " + fixed4(e3)});
  checks.push_back({"Enrolment: facing forward lights no ring tick",
                    M::tickEmphasis(0, {0, 0}) == 0,
                    "no tick reacts until the head genuinely turns"});
  checks.push_back({"Enrolment: samples are both ring passes plus one centre",
                    M::sampleTarget == M::tickCount * M::passes + 1,
                    std::to_string(M::tickCount) + " angles \u00D7 " + std::to_string(M::passes) +
                        " passes + 1 = " + std::to_string(M::sampleTarget)});
  auto side = [&](double noseX, bool left) {
    const auto direction = M::headDirection({0.4, 0.6}, {0.6, 0.6}, {noseX, 0.6});
    const auto tick = direction ? M::nearestTick(*direction) : std::nullopt;
    const double x = direction ? direction->x : 0;
    const int index = tick ? tick->index : -1;
    const bool passed = direction && (left ? x < 0 : x > 0) && index == (left ? 9 : 3);
    checks.push_back({left ? "Enrolment: turning left lights the left of the ring"
                           : "Enrolment: turning right lights the right of the ring",
                      passed,
                      "screen-x " + fixed4(x) + ", tick " + std::to_string(index) +
                          (left ? " (9 is the ring's left)" : " (3 is the ring's right)")});
  };
  side(0.56, true);
  side(0.44, false);
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const platform::Point directions[] = {{0, 0},      {50, 50}, {-1000000, 1000000},
                                        {0.0001, 0}, {inf, 0}, {nan, nan}};
  bool bounded = true;
  for (int i = 0; i < M::tickCount; ++i) {
    for (const auto& d : directions) {
      const double e = M::tickEmphasis(i, d);
      if (!(e >= 0 && e <= 1)) bounded = false;
    }
  }
  checks.push_back({"Enrolment: tick reach stays within 0\u20261 for any input", bounded,
                    "including zero, huge, infinite and NaN directions"});
  const auto up = M::headDirection({0.4, 0.6}, {0.6, 0.6}, {0.5, 0.66});
  const auto upTick = up ? M::nearestTick(*up) : std::nullopt;
  const int upIndex = upTick ? upTick->index : -1;
  checks.push_back({"Enrolment: looking up lights the top of the ring",
                    up && up->y > 0 && upIndex == 0,
                    "tick " + std::to_string(upIndex) + " (0 is the top)"});
  return checks;
}

std::vector<SelfTest::Check> SelfTest::lockStateChecks() {
  return {{"Lock state: system query runs and reports unlocked here",
           !LockMonitor::isScreenActuallyLocked(),
           "the self-test only runs while genuinely unlocked"}};
}

std::vector<SelfTest::Check> SelfTest::windowFocusChecks() {
  const platform::Rect rect{{0, 0}, {10, 10}};
  const auto backing = platform::windows::BackingStore::buffered;
  const OverlayWindow overlay(rect, 0, backing, false);
  const TutorialWindow tutorial(rect, 0, backing, false);
  return {{"Overlay: window can never take keyboard focus",
           !overlay.canBecomeKeyWindow() && !overlay.canBecomeMainWindow(),
           "otherwise it would steal the password field"},
          {"Tutorial: window can take keyboard focus",
           tutorial.canBecomeKeyWindow() && tutorial.canBecomeMainWindow(),
           "otherwise nothing in the tutorial could ever be typed into"}};
}

std::vector<SelfTest::Check> SelfTest::unlockSafetyChecks() {
  return {{"Unlock safety: refuses to type while the lock screen is not frontmost",
           !Unlocker::lockScreenHasFocus(),
           "checked live on this machine \u2014 must be false whenever something other than "
           "the lock screen has focus"}};
}

}  // namespace quorvel
