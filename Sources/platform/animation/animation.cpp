#include "platform/animation/animation.hpp"

#include <cmath>
#include <limits>
#include <sstream>

#include "platform/dispatch/dispatch.hpp"

namespace platform::animation {
namespace {

constexpr double kPi = 3.14159265358979323846;

std::vector<Animation>& transactionStack() {
  static thread_local std::vector<Animation> stack;
  return stack;
}

double bezier(double p1, double p2, double t) {
  // One coordinate of a cubic Bézier from 0 to 1 with inner control values p1 and p2.
  const double u = 1 - t;
  return 3 * u * u * t * p1 + 3 * u * t * t * p2 + t * t * t;
}
double bezierDerivative(double p1, double p2, double t) {
  const double u = 1 - t;
  return 3 * u * u * p1 + 6 * u * t * (p2 - p1) + 3 * t * t * (1 - p2);
}

// The spring's position (0 at the start, 1 at rest) after `t` seconds.
double springPosition(double response, double damping, double t) {
  if (response <= 0) return 1;
  const double omega = 2 * kPi / response;
  if (damping < 1) {
    const double wd = omega * std::sqrt(1 - damping * damping);
    const double decay = std::exp(-damping * omega * t);
    return 1 - decay * (std::cos(wd * t) + (damping * omega / wd) * std::sin(wd * t));
  }
  if (damping == 1) return 1 - std::exp(-omega * t) * (1 + omega * t);
  const double root = omega * std::sqrt(damping * damping - 1);
  const double r1 = -damping * omega + root;
  const double r2 = -damping * omega - root;
  // x(0) = 0, x'(0) = 0.
  const double a = r2 / (r2 - r1);
  const double b = -r1 / (r2 - r1);
  return 1 - (a * std::exp(r1 * t) + b * std::exp(r2 * t));
}

double springSettleTime(double response, double damping) {
  if (response <= 0) return 0;
  const double omega = 2 * kPi / response;
  if (damping > 0 && damping < 1) {
    const double wd = omega * std::sqrt(1 - damping * damping);
    const double amplitude = std::sqrt(1 + std::pow(damping * omega / wd, 2));
    return std::log(1000 * amplitude) / (damping * omega);
  }
  if (damping <= 0) return std::numeric_limits<double>::infinity();
  // Critically or over-damped: step until within 0.1 %.
  double t = 0;
  while (std::fabs(1 - springPosition(response, damping, t)) > 1e-3 && t < 60) t += 1e-3;
  return t;
}

}  // namespace

double solveTimingCurve(double c1x, double c1y, double c2x, double c2y, double x) {
  if (x <= 0) return 0;
  if (x >= 1) return 1;
  // Newton's method on x(t), falling back to bisection.
  double t = x;
  for (int i = 0; i < 8; ++i) {
    const double error = bezier(c1x, c2x, t) - x;
    if (std::fabs(error) < 1e-9) return bezier(c1y, c2y, t);
    const double slope = bezierDerivative(c1x, c2x, t);
    if (std::fabs(slope) < 1e-9) break;
    t -= error / slope;
    if (t < 0 || t > 1) break;
  }
  double lo = 0, hi = 1;
  t = x;
  for (int i = 0; i < 60; ++i) {
    t = (lo + hi) / 2;
    const double value = bezier(c1x, c2x, t);
    if (std::fabs(value - x) < 1e-12) break;
    if (value < x) lo = t; else hi = t;
  }
  return bezier(c1y, c2y, t);
}

Animation Animation::timingCurve(double c1x, double c1y, double c2x, double c2y,
                                 double duration) {
  Animation a;
  a.kind = Kind::timingCurve;
  a.c1x = c1x;
  a.c1y = c1y;
  a.c2x = c2x;
  a.c2y = c2y;
  a.duration = duration;
  return a;
}

Animation Animation::spring(double response, double dampingFraction, double blendDuration) {
  Animation a;
  a.kind = Kind::spring;
  a.response = response;
  a.dampingFraction = dampingFraction;
  a.blendDuration = blendDuration;
  a.c1x = a.c1y = a.c2x = a.c2y = 0;
  return a;
}

Animation Animation::easeIn(double duration) {
  Animation a = timingCurve(0.42, 0, 1, 1, duration);
  a.kind = Kind::easeIn;
  return a;
}
Animation Animation::easeOut(double duration) {
  Animation a = timingCurve(0, 0, 0.58, 1, duration);
  a.kind = Kind::easeOut;
  return a;
}
Animation Animation::easeInOut(double duration) {
  Animation a = timingCurve(0.42, 0, 0.58, 1, duration);
  a.kind = Kind::easeInOut;
  return a;
}
Animation Animation::linear(double duration) {
  Animation a = timingCurve(0, 0, 1, 1, duration);
  a.kind = Kind::linear;
  return a;
}

Animation Animation::repeatForever(bool reverses) const {
  Animation a = *this;
  a.repeatCount = -1;
  a.autoreverses = reverses;
  return a;
}

Animation Animation::repeatCountOf(int count, bool reverses) const {
  Animation a = *this;
  a.repeatCount = count < 1 ? 1 : count;
  a.autoreverses = reverses;
  return a;
}

double Animation::passDuration() const {
  if (kind == Kind::spring) return springSettleTime(response, dampingFraction);
  return duration > 0 ? duration : 0;
}

double Animation::totalDuration() const {
  if (repeatsForever()) return std::numeric_limits<double>::infinity();
  return passDuration() * repeatCount;
}

double Animation::fraction(double elapsed) const {
  const double pass = passDuration();
  if (pass <= 0 || elapsed >= totalDuration()) return 1;
  if (elapsed <= 0) return 0;
  const double index = std::floor(elapsed / pass);
  const double local = elapsed - index * pass;
  double f;
  if (kind == Kind::spring) {
    f = springPosition(response, dampingFraction, local);
  } else if (kind == Kind::linear) {
    f = local / pass;
  } else {
    f = solveTimingCurve(c1x, c1y, c2x, c2y, local / pass);
  }
  const bool backwards = autoreverses && static_cast<long long>(index) % 2 == 1;
  return backwards ? 1 - f : f;
}

std::string Animation::description() const {
  std::ostringstream out;
  switch (kind) {
    case Kind::timingCurve:
      out << "timingCurve(" << c1x << ", " << c1y << ", " << c2x << ", " << c2y
          << ", duration: " << duration << ")";
      break;
    case Kind::spring:
      out << "spring(response: " << response << ", dampingFraction: " << dampingFraction
          << ", blendDuration: " << blendDuration << ")";
      break;
    case Kind::easeIn: out << "easeIn(duration: " << duration << ")"; break;
    case Kind::easeOut: out << "easeOut(duration: " << duration << ")"; break;
    case Kind::easeInOut: out << "easeInOut(duration: " << duration << ")"; break;
    case Kind::linear: out << "linear(duration: " << duration << ")"; break;
  }
  if (repeatsForever()) {
    out << ".repeatForever(autoreverses: " << (autoreverses ? "true" : "false") << ")";
  } else if (repeatCount != 1) {
    out << ".repeatCount(" << repeatCount << ", autoreverses: "
        << (autoreverses ? "true" : "false") << ")";
  }
  return out.str();
}

bool Animation::operator==(const Animation& o) const {
  auto same = [](double x, double y) { return std::fabs(x - y) < 1e-12; };
  return kind == o.kind && same(c1x, o.c1x) && same(c1y, o.c1y) && same(c2x, o.c2x) &&
         same(c2y, o.c2y) && same(duration, o.duration) && same(response, o.response) &&
         same(dampingFraction, o.dampingFraction) && same(blendDuration, o.blendDuration) &&
         repeatCount == o.repeatCount && (repeatCount == 1 || autoreverses == o.autoreverses);
}

void withAnimation(const Animation& animation, const std::function<void()>& body) {
  auto& stack = transactionStack();
  stack.push_back(animation);
  struct Pop {
    std::vector<Animation>& stack;
    ~Pop() { stack.pop_back(); }
  } pop{stack};
  body();
}

std::optional<Animation> currentTransaction() {
  const auto& stack = transactionStack();
  if (stack.empty()) return std::nullopt;
  return stack.back();
}

double currentTime() { return dispatch::now(); }

PublishedBase::PublishedBase(ObservableObject* owner, std::string name)
    : owner_(owner), name_(std::move(name)) {}

void PublishedBase::willChange(const RecordedValue& newValue,
                               const std::optional<Animation>& animation, double time) {
  if (owner_) owner_->notify(Change{name_, newValue, animation, time});
}

ObservableObject::Token ObservableObject::subscribe(Observer observer) {
  const Token token = next_++;
  observers_.emplace(token, std::move(observer));
  return token;
}

void ObservableObject::unsubscribe(Token token) { observers_.erase(token); }

void ObservableObject::notify(const Change& change) {
  // Copy first: an observer may unsubscribe while being told.
  std::vector<Observer> current;
  current.reserve(observers_.size());
  for (const auto& [token, observer] : observers_) current.push_back(observer);
  for (const auto& observer : current) observer(change);
}

}  // namespace platform::animation
