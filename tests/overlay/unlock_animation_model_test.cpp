#include "overlay/unlock_animation_model.hpp"

#include <gmock/gmock.h>

#include <cmath>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "support/platform_fixture.hpp"
#include "support/simulated_display.hpp"

namespace {

using platform::animation::Animation;
using platform::animation::Change;
using platform::animation::RecordedValue;
using quorvel::UnlockAnimationModel;
using quorvel::testing::PlatformTest;
using Lines = std::vector<std::string>;
using ::testing::DoubleNear;
using ::testing::Pointwise;

Animation panelCurve(double d) { return Animation::timingCurve(0.42, 0, 0.58, 1, d); }
Animation glanceCurve(double d) { return Animation::timingCurve(0.65, 0, 0.35, 1, d); }

std::string describe(const RecordedValue& value) {
  std::ostringstream out;
  if (std::holds_alternative<std::monostate>(value)) out << "nil";
  if (const auto* b = std::get_if<bool>(&value)) out << (*b ? "true" : "false");
  if (const auto* i = std::get_if<std::int64_t>(&value)) out << *i;
  if (const auto* d = std::get_if<double>(&value)) out << *d;
  if (const auto* s = std::get_if<std::string>(&value)) out << '"' << *s << '"';
  return out.str();
}

std::string expect(const std::string& field, const std::string& value,
                   const std::optional<Animation>& animation) {
  return field + "=" + value + " " + (animation ? animation->description() : "none");
}

// Matches a list of times, each within 1e-9 of its expected one.
auto timesNear(const std::vector<double>& expected) {
  return Pointwise(DoubleNear(1e-9), expected);
}

// Records every published change of a model with the time it was made.
class Recorder {
 public:
  explicit Recorder(UnlockAnimationModel& model) {
    model.subscribe([this](const Change& change) { changes_.push_back(change); });
  }
  // "field=value curve" lines of the changes made at `time`.
  Lines at(double time) const {
    Lines lines;
    for (const auto& c : changes_) {
      if (std::fabs(c.time - time) < 1e-9) {
        lines.push_back(expect(c.field, describe(c.newValue), c.animation));
      }
    }
    return lines;
  }
  std::vector<double> timesOf(const std::string& field) const {
    std::vector<double> times;
    for (const auto& c : changes_) {
      if (c.field == field) times.push_back(c.time);
    }
    return times;
  }
  std::size_t count() const { return changes_.size(); }
  void clear() { changes_.clear(); }

 private:
  std::vector<Change> changes_;
};

Lines initialLines() {
  return {"panelProgress=0 none", "contentVisible=false none", "illumination=0 none",
          "sweep=0 none",         "sweepOpacity=1 none",       "faceOpacity=0 none",
          "faceScale=0.94 none",  "faceTurn=0 none",           "glance=0 none",
          "tickProgress=0 none",  "bloom=0 none",              "drained=false none",
          "glyph=0 none",         "shake=0 none",              "message=nil none"};
}

class UnlockAnimationModelTest : public PlatformTest {
 protected:
  std::shared_ptr<UnlockAnimationModel> makeModel(bool reduceMotion) {
    auto model = UnlockAnimationModel::make(reduceMotion);
    recorder_.emplace(*model);
    return model;
  }
  Recorder& recorder() { return *recorder_; }
  // A model that began a second ago, its changes recorded from now on.
  std::shared_ptr<UnlockAnimationModel> scanning() {
    auto model = makeModel(false);
    model->begin();
    advance(1.0);
    recorder().clear();
    return model;
  }

 private:
  std::optional<Recorder> recorder_;
};

TEST_F(UnlockAnimationModelTest, TakesTheSystemReduceMotionSetting) {
  EXPECT_FALSE(UnlockAnimationModel::make()->reduceMotion());
  quorvel::testing::machine().displayOptions->setReduceMotion(true);
  EXPECT_TRUE(UnlockAnimationModel::make()->reduceMotion());
}

TEST_F(UnlockAnimationModelTest, BeginOpensThePanelThenShowsTheFaceAndScans) {
  auto model = makeModel(false);
  model->begin();
  auto lines = recorder().at(0);
  // The reset, then the panel opens.
  auto expected = initialLines();
  expected.push_back(expect("panelProgress", "1", panelCurve(0.42)));
  EXPECT_EQ(lines, expected);
  advance(0.2);
  EXPECT_GT(model->panelProgress.presented(), 0.3);
  EXPECT_LT(model->panelProgress.presented(), 0.7);
  advance(0.27 - 1e-6);
  EXPECT_FALSE(model->contentVisible.value());
  advance(1e-6);
  EXPECT_EQ(
      recorder().at(0.47),
      (Lines{"contentVisible=true none", expect("faceOpacity", "1", Animation::spring(0.46, 0.88)),
             expect("faceScale", "1", Animation::spring(0.46, 0.88)), "sweep=0 none",
             "sweepOpacity=1 none",
             expect("sweep", "1", Animation::easeInOut(1.25).repeatForever(false)),
             expect("glance", "-3.2", glanceCurve(0.33))}));
  // The glance steps: left, right, a little left, centre; then again every 1.5 s.
  advance(3.0);
  EXPECT_EQ(recorder().at(1.16), (Lines{expect("glance", "-1.4", glanceCurve(0.39))}));
  EXPECT_THAT(recorder().timesOf("glance"),
              timesNear({0, 0.47, 0.80, 1.16, 1.55, 1.97, 2.30, 2.66, 3.05, 3.47}));
  // The sweep keeps crossing in one direction.
  const double phase = std::fmod(now() - 0.47, 1.25) / 1.25;
  EXPECT_NEAR(model->sweep.presented(), Animation::easeInOut(1).fraction(phase), 1e-9);
}

TEST_F(UnlockAnimationModelTest, SuccessWithoutConfirmationRetractsByItself) {
  auto model = scanning();
  std::vector<double> completions;
  model->succeed([&] { completions.push_back(now()); });
  EXPECT_EQ(recorder().at(1.0), (Lines{expect("illumination", "1", Animation::easeOut(0.14)),
                                       expect("sweepOpacity", "0", Animation::easeOut(0.14)),
                                       expect("glance", "0", Animation::easeOut(0.14)),
                                       expect("bloom", "0.3", Animation::easeOut(0.4)),
                                       expect("faceOpacity", "0", glanceCurve(0.3)),
                                       expect("faceScale", "0.72", glanceCurve(0.3)),
                                       expect("faceTurn", "45", glanceCurve(0.3))}));
  advance(3.0);
  EXPECT_EQ(recorder().at(1.16), (Lines{expect("sweep", "0", Animation::linear(0.01))}));
  EXPECT_EQ(recorder().at(1.18), (Lines{expect("tickProgress", "1", Animation::easeOut(0.34))}));
  EXPECT_EQ(recorder().at(1.6), (Lines{expect("bloom", "0", Animation::easeIn(0.34))}));
  EXPECT_EQ(recorder().at(2.9), (Lines{expect("contentVisible", "false", Animation::easeOut(0.14)),
                                       expect("bloom", "0", Animation::easeOut(0.14))}));
  EXPECT_EQ(recorder().at(3.05), (Lines{expect("panelProgress", "0", panelCurve(0.55))}));
  // No glance step runs once the scan has ended; nothing else changes.
  EXPECT_EQ(recorder().timesOf("glance"), std::vector<double>{1.0});
  EXPECT_EQ(recorder().count(), 7u + 1 + 1 + 1 + 2 + 1);
  // The completion comes once the panel has closed.
  EXPECT_THAT(completions, timesNear({3.66}));
  EXPECT_DOUBLE_EQ(model->panelProgress.presented(), 0);
}

TEST_F(UnlockAnimationModelTest, ASuccessWithoutACompletionStillRetracts) {
  for (const bool confirmed : {false, true}) {
    auto model = scanning();
    model->succeed(nullptr);
    if (confirmed) model->confirmedUnlocked();
    advance(3.0);
    EXPECT_DOUBLE_EQ(model->panelProgress.presented(), 0) << confirmed;
    EXPECT_FALSE(model->contentVisible.value()) << confirmed;
  }
}

TEST_F(UnlockAnimationModelTest, ConfirmationRetractsAtOnceAndTheFallbackFindsNothing) {
  auto model = scanning();
  std::vector<double> completions;
  model->succeed([&] { completions.push_back(now()); });
  advance(0.5);
  model->confirmedUnlocked();
  advance(3.0);
  // The content fades at once, the panel closes 0.15 s later; the fallback at 2.9 changes
  // nothing.
  EXPECT_NEAR(recorder().timesOf("contentVisible").back(), 1.5, 1e-9);
  EXPECT_NEAR(recorder().timesOf("panelProgress").back(), 1.65, 1e-9);
  EXPECT_TRUE(recorder().at(2.9).empty());
  EXPECT_THAT(completions, timesNear({2.26}));
  // A second confirmation does nothing either.
  model->confirmedUnlocked();
  advance(3.0);
  EXPECT_EQ(completions.size(), 1u);
}

// A cancel turns the glyph into the palm first; the rest of its steps are the failure's.
TEST_F(UnlockAnimationModelTest, FailureAndCancelDrainShakeShowTheMessageAndRetract) {
  for (const bool cancel : {false, true}) {
    SCOPED_TRACE(cancel ? "cancel" : "failure");
    auto model = scanning();
    const double t = now();
    std::vector<double> completions;
    const auto completion = [&] { completions.push_back(now()); };
    Lines expected = {expect("drained", "true", Animation::easeOut(0.22)),
                      expect("illumination", "0.55", Animation::easeOut(0.22)),
                      expect("sweepOpacity", "0", Animation::easeOut(0.22)),
                      expect("glance", "0", Animation::easeOut(0.22)),
                      expect("message", "\"Face not recognised\"", Animation::spring(0.42, 0.9)),
                      expect("shake", "5", Animation::easeInOut(0.075).repeatCountOf(4, true))};
    if (cancel) {
      model->cancel("Face not recognised", completion);
      expected.insert(expected.begin(), expect("glyph", "1", Animation::easeOut(0.18)));
    } else {
      model->fail("Face not recognised", completion);
    }
    model->confirmedUnlocked();  // keeps the failure's own timing
    advance(0.11);
    EXPECT_EQ(recorder().at(t), expected);
    EXPECT_GT(model->shake.presented(), 1);  // shaking sideways, on its way back
    EXPECT_LT(model->shake.presented(), 5);
    advance(3.0);
    EXPECT_EQ(recorder().at(t + 0.24), (Lines{expect("sweep", "0", Animation::linear(0.01))}));
    EXPECT_EQ(recorder().at(t + 0.34), (Lines{expect("shake", "0", Animation::linear(0.01))}));
    EXPECT_EQ(recorder().at(t + 1.45),
              (Lines{expect("contentVisible", "false", Animation::easeOut(0.14)),
                     expect("bloom", "0", Animation::easeOut(0.14))}));
    EXPECT_EQ(recorder().at(t + 1.6), (Lines{expect("panelProgress", "0", panelCurve(0.55))}));
    EXPECT_THAT(completions, timesNear({t + 2.21}));
    EXPECT_TRUE(model->drained.value());
    EXPECT_EQ(model->message.value(), std::optional<std::string>("Face not recognised"));
    EXPECT_EQ(model->glyph.value(),
              cancel ? UnlockAnimationModel::Glyph::palm : UnlockAnimationModel::Glyph::face);
  }
}

// A confirmation outside a success does nothing either.
TEST_F(UnlockAnimationModelTest, EndingsOutsideAScanCompleteAtOnceAndChangeNothing) {
  auto model = makeModel(false);
  int completions = 0;
  model->succeed([&] { ++completions; });
  model->fail("x", [&] { ++completions; });
  model->cancel("x", [&] { ++completions; });
  model->confirmedUnlocked();
  EXPECT_EQ(completions, 3);
  EXPECT_EQ(recorder().count(), 0u);

  model->begin();
  advance(1.0);
  model->confirmedUnlocked();
  runUntilIdle();
  EXPECT_DOUBLE_EQ(model->panelProgress.value(), 1);
  model->succeed([&] { ++completions; });
  recorder().clear();
  model->succeed([&] { completions += 10; });  // a second success: completes at once
  model->fail("x", [&] { completions += 100; });
  EXPECT_EQ(completions, 113);
  EXPECT_EQ(recorder().count(), 0u);
  advance(5.0);
  EXPECT_EQ(completions, 114);  // the first success's completion, once
}

TEST_F(UnlockAnimationModelTest, ReducedMotionPulsesShowsTheTickAndRetractsEarly) {
  auto model = makeModel(true);
  model->begin();
  advance(0.47);
  EXPECT_EQ(
      recorder().at(0.47),
      (Lines{"contentVisible=true none", expect("faceOpacity", "1", Animation::spring(0.46, 0.88)),
             expect("faceScale", "1", Animation::spring(0.46, 0.88)), "sweepOpacity=0 none",
             expect("illumination", "0.85", Animation::easeInOut(1.6).repeatForever(true))}));
  advance(2.0);
  EXPECT_EQ(recorder().timesOf("glance"), std::vector<double>{0});  // only the reset
  EXPECT_EQ(recorder().timesOf("sweep"), std::vector<double>{0});
  recorder().clear();
  std::vector<double> completions;
  const double t = now();
  model->succeed([&] { completions.push_back(now()); });
  EXPECT_EQ(recorder().at(t), (Lines{expect("illumination", "1", Animation::easeOut(0.14)),
                                     expect("sweepOpacity", "0", Animation::easeOut(0.14)),
                                     expect("glance", "0", Animation::easeOut(0.14))}));
  advance(3.0);
  EXPECT_EQ(recorder().at(t + 0.12),
            (Lines{expect("faceOpacity", "0", Animation::easeInOut(0.22))}));
  EXPECT_EQ(recorder().at(t + 0.34), Lines{"tickProgress=1 none"});
  EXPECT_EQ(recorder().at(t + 0.72).size(), 2u);  // the fallback retract
  // Only the retract's bloom: no glow.
  EXPECT_THAT(recorder().timesOf("bloom"), timesNear({t + 0.72}));
  EXPECT_TRUE(recorder().timesOf("faceTurn").empty());
  EXPECT_THAT(completions, timesNear({t + 0.72 + 0.15 + 0.61}));
  // A failure does not shake: the only change of the shake is the reset's.
  model->begin();
  const double began = now();
  advance(1.0);
  model->fail("No", nullptr);
  advance(3.0);
  EXPECT_EQ(recorder().timesOf("shake"), std::vector<double>{began});
}

TEST_F(UnlockAnimationModelTest, ResetInTheMiddleSnapsBackAndStopsTheOldSequence) {
  auto model = makeModel(false);
  int completions = 0;
  // In a success's tick, and in a failure's retract while its content fades.
  for (const bool success : {true, false}) {
    model->begin();
    advance(1.0);
    if (success) model->succeed([&] { ++completions; });
    else model->fail("x", [&] { ++completions; });
    advance(success ? 0.2 : 1.5);
    recorder().clear();
    model->resetToIdle();
    EXPECT_EQ(recorder().at(now()), initialLines()) << success;
    recorder().clear();
    advance(10.0);
    EXPECT_EQ(recorder().count(), 0u);
    EXPECT_EQ(completions, 0);
  }
}

TEST_F(UnlockAnimationModelTest, BeginDuringASuccessDropsItsCompletionAndStartsClosed) {
  auto model = scanning();
  int completions = 0;
  model->succeed([&] { ++completions; });
  advance(0.3);
  model->begin();
  EXPECT_DOUBLE_EQ(model->panelProgress.presented(), 0);
  EXPECT_DOUBLE_EQ(model->tickProgress.presented(), 0);
  advance(10.0);
  EXPECT_EQ(completions, 0);
  EXPECT_DOUBLE_EQ(model->panelProgress.value(), 1);
  EXPECT_DOUBLE_EQ(model->faceOpacity.value(), 1);
}

TEST_F(UnlockAnimationModelTest, QuickEndingStillGetsTheContentStep) {
  for (bool success : {true, false}) {
    auto model = makeModel(false);
    model->begin();
    advance(0.2);
    const double t = now();
    int completions = 0;
    if (success) {
      model->succeed([&] { ++completions; });
    } else {
      model->fail("Too quick", [&] { ++completions; });
    }
    advance(0.27);
    EXPECT_TRUE(model->contentVisible.value());
    EXPECT_DOUBLE_EQ(model->faceOpacity.value(), 1);
    EXPECT_DOUBLE_EQ(model->sweepOpacity.value(), 1);
    EXPECT_TRUE(model->sweep.animation()->repeatsForever());
    advance(4.0);
    // Glance steps never ran: the only glance change is the ending's.
    EXPECT_THAT(recorder().timesOf("glance"), timesNear({t - 0.2, t}));
    EXPECT_EQ(completions, 1);
  }
}

}  // namespace
