#include "platform/animation/animation.hpp"

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "support/platform_fixture.hpp"

namespace {

using platform::animation::Animation;
using platform::animation::Change;
using platform::animation::ObservableObject;
using platform::animation::Published;
using platform::animation::withAnimation;
using quorvel::testing::PlatformTest;

class Model : public ObservableObject {
 public:
  Published<double> level{this, "level", 0};
  Published<bool> shown{this, "shown", false};
  Published<std::optional<std::string>> text{this, "text", std::nullopt};
  Published<int> step{this, "step", 0};
  Published<std::string> title{this, "title", ""};
};

class AnimationTest : public PlatformTest {};

TEST_F(AnimationTest, EasesAreTimingCurvesWithTheStandardControlPoints) {
  // The solver: control points (0.65, 0, 0.35, 1) are at their midpoint at x = 0.5, and a
  // sampled point of the curve maps back to its own y.
  EXPECT_NEAR(platform::animation::solveTimingCurve(0.65, 0, 0.35, 1, 0.5), 0.5, 1e-9);
  const double t = 0.3, u = 1 - t;
  const double x = 3 * u * u * t * 0.65 + 3 * u * t * t * 0.35 + t * t * t;
  EXPECT_NEAR(platform::animation::solveTimingCurve(0.65, 0, 0.35, 1, x), 3 * u * t * t + t * t * t, 1e-9);

  struct Ease {
    Animation animation;
    double c1x, c1y, c2x, c2y;
  };
  const Ease eases[] = {{Animation::easeIn(2), 0.42, 0, 1, 1},
                        {Animation::easeOut(2), 0, 0, 0.58, 1},
                        {Animation::easeInOut(2), 0.42, 0, 0.58, 1},
                        {Animation::timingCurve(0.42, 0, 0.58, 1, 2), 0.42, 0, 0.58, 1},
                        {Animation::linear(2), 0, 0, 1, 1}};
  for (const auto& ease : eases) {
    for (double x : {0.1, 0.25, 0.5, 0.8}) {
      EXPECT_NEAR(ease.animation.fraction(2 * x),
                  platform::animation::solveTimingCurve(ease.c1x, ease.c1y, ease.c2x, ease.c2y, x),
                  1e-9)
          << ease.animation.description() << " at " << x;
    }
  }
  EXPECT_NEAR(Animation::linear(1).fraction(0.25), 0.25, 1e-12);
  EXPECT_EQ(Animation::easeOut(0.2).fraction(-1), 0);
  EXPECT_EQ(Animation::easeOut(0.2).fraction(0.2), 1);
  EXPECT_EQ(Animation::easeOut(0).fraction(0), 1);
}

TEST_F(AnimationTest, SpringsRespondInTheirUndampedPeriodAndOvershootWhenUnderdamped) {
  // Critically damped with a response of 0.5 s: 1 - e^(-wt) (1 + wt) with w = 2 pi / 0.5.
  const double w = 2 * 3.14159265358979323846 / 0.5;
  for (double t : {0.05, 0.1, 0.3}) {
    EXPECT_NEAR(Animation::spring(0.5, 1).fraction(t), 1 - std::exp(-w * t) * (1 + w * t), 1e-9);
  }
  const Animation spring = Animation::spring(0.46, 0.88);
  EXPECT_GT(spring.passDuration(), 0.3);
  EXPECT_LT(spring.passDuration(), 1.0);
  EXPECT_NEAR(spring.fraction(spring.passDuration() * 0.999), 1, 2e-3);
  EXPECT_EQ(spring.fraction(spring.passDuration()), 1);
  double peak = 0;
  for (double t = 0; t < spring.passDuration(); t += 0.005) peak = std::max(peak, spring.fraction(t));
  EXPECT_GT(peak, 1.0);
  EXPECT_LT(peak, 1.01);
}

TEST_F(AnimationTest, RepetitionWithAndWithoutReversing) {
  const Animation forever = Animation::linear(1).repeatForever(false);
  EXPECT_TRUE(std::isinf(forever.totalDuration()));
  EXPECT_NEAR(forever.fraction(10.25), 0.25, 1e-9);  // always the same direction
  const Animation pulse = Animation::linear(1).repeatForever(true);
  EXPECT_NEAR(pulse.fraction(1.25), 0.75, 1e-9);  // on its way back
  EXPECT_NEAR(pulse.fraction(2.25), 0.25, 1e-9);
  const Animation shake = Animation::linear(0.075).repeatCountOf(4, true);
  EXPECT_NEAR(shake.totalDuration(), 0.3, 1e-12);
  EXPECT_NEAR(shake.fraction(0.075 + 0.0375), 0.5, 1e-9);
  EXPECT_EQ(shake.fraction(0.3), 1);  // settles at the new value
  EXPECT_EQ(shake.description(), "linear(duration: 0.075).repeatCount(4, autoreverses: true)");
  EXPECT_NE(Animation::easeIn(1), Animation::easeOut(1));
  EXPECT_NE(Animation::linear(1).repeatForever(true), Animation::linear(1).repeatForever(false));
}

TEST_F(AnimationTest, AnimatedChangesMoveFromTheValueOnScreenAndEveryChangeReplacesTheLast) {
  Model model;
  withAnimation(Animation::linear(1), [&] { model.level = 1; });
  EXPECT_DOUBLE_EQ(model.level.value(), 1);
  EXPECT_DOUBLE_EQ(model.level.presented(), 0);
  advance(0.5);
  EXPECT_NEAR(model.level.presented(), 0.5, 1e-9);
  // Redirected halfway: the new animation starts from what is on screen.
  withAnimation(Animation::linear(1), [&] { model.level = 0; });
  EXPECT_NEAR(model.level.presented(), 0.5, 1e-9);
  advance(0.5);
  EXPECT_NEAR(model.level.presented(), 0.25, 1e-9);
  advance(1);
  EXPECT_DOUBLE_EQ(model.level.presented(), 0);

  // A change outside a transaction is presented at once, ending even a repeating animation.
  withAnimation(Animation::linear(1).repeatForever(false), [&] { model.level = 1; });
  advance(5.5);
  EXPECT_NEAR(model.level.presented(), 0.5, 1e-9);
  model.level = 0.2;
  EXPECT_DOUBLE_EQ(model.level.presented(), 0.2);
  EXPECT_FALSE(model.level.animation());
  advance(3.3);
  EXPECT_DOUBLE_EQ(model.level.presented(), 0.2);
}

TEST_F(AnimationTest, DiscreteValuesReportTheirOldAndNewValueWithTheFraction) {
  Model model;
  withAnimation(Animation::linear(0.2), [&] {
    model.shown = true;
    model.text = std::string("Cancelled");
  });
  advance(0.1);
  const auto shown = model.shown.sample();
  EXPECT_FALSE(shown.from);
  EXPECT_TRUE(shown.to);
  EXPECT_NEAR(shown.fraction, 0.5, 1e-9);
  EXPECT_FALSE(model.shown.presented());  // switches when the change has finished
  advance(0.1);
  EXPECT_TRUE(model.shown.presented());
  // Whole numbers and strings are discrete too.
  withAnimation(Animation::easeOut(0.3), [&] {
    model.step = 3;
    model.title = "Face";
  });
  EXPECT_EQ(model.step.presented(), 0);
  EXPECT_EQ(model.step.sample().to, 3);
  advance(0.3);
  EXPECT_EQ(model.step.presented(), 3);
  EXPECT_EQ(model.title.presented(), "Face");
  EXPECT_EQ(model.text.presented(), std::optional<std::string>("Cancelled"));
}

TEST_F(AnimationTest, ObserversHearBeforeTheValueChangesWithTheTransaction) {
  Model model;
  std::vector<std::string> heard;
  const auto token = model.subscribe([&](const Change& change) {
    // Still the old value.
    heard.push_back(change.field + " old=" + std::to_string(model.level.value()) +
                    (change.animation ? " " + change.animation->description() : " none"));
  });
  advance(1);
  withAnimation(Animation::easeOut(0.14), [&] { model.level = 1; });
  model.level = 0.5;
  model.unsubscribe(token);
  model.level = 0;
  ASSERT_EQ(heard.size(), 2u);
  EXPECT_EQ(heard[0], "level old=0.000000 easeOut(duration: 0.14)");
  EXPECT_EQ(heard[1], "level old=1.000000 none");
}

TEST_F(AnimationTest, TransactionsNestAndEnd) {
  Model model;
  withAnimation(Animation::linear(1), [&] {
    withAnimation(Animation::easeIn(2), [&] { model.level = 1; });
    model.shown = true;
  });
  model.text = std::string("x");
  EXPECT_EQ(*model.level.animation(), Animation::easeIn(2));
  EXPECT_EQ(*model.shown.animation(), Animation::linear(1));
  EXPECT_FALSE(model.text.animation());
  EXPECT_FALSE(platform::animation::currentTransaction());
}

}  // namespace
