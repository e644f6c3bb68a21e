// Animation curves and transactions for observable models.
//
// A model's published field changed inside `withAnimation(curve, ...)` records the curve,
// the value that was on screen at that moment and the time of the change; a view then asks
// the field for its presented value at any time and gets the value moving along the curve.
// A change outside a transaction is presented at once. Every change of a field replaces the
// animation it had, repeating or not. Observers of a model are told before a value changes.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

namespace platform::animation {

// One animation curve with its duration and repetition.
struct Animation {
  enum class Kind { timingCurve, spring, easeIn, easeOut, easeInOut, linear };

  Kind kind = Kind::linear;
  // Timing curves (the eases are timing curves with fixed control points).
  double c1x = 0, c1y = 0, c2x = 1, c2y = 1;
  double duration = 0;
  // Springs.
  double response = 0, dampingFraction = 0, blendDuration = 0;
  // Repetition: absent plays once; a count of -1 repeats forever.
  int repeatCount = 1;
  bool autoreverses = false;

  static Animation timingCurve(double c1x, double c1y, double c2x, double c2y, double duration);
  static Animation spring(double response, double dampingFraction, double blendDuration = 0);
  static Animation easeIn(double duration);
  static Animation easeOut(double duration);
  static Animation easeInOut(double duration);
  static Animation linear(double duration);

  Animation repeatForever(bool autoreverses) const;
  Animation repeatCountOf(int count, bool autoreverses) const;
  bool repeatsForever() const { return repeatCount < 0; }

  // Length of one pass (for a spring: the time until it has settled within 0.1 %).
  double passDuration() const;
  // Total length; infinity when it repeats forever.
  double totalDuration() const;
  // Fraction of the way from the old to the new value `elapsed` seconds after the change
  // (a spring may overshoot 1). At and after the end the fraction is 1.
  double fraction(double elapsed) const;

  std::string description() const;
  bool operator==(const Animation& other) const;
};

// Runs `body` inside a transaction carrying `animation`: every published change it makes is
// animated with it. Transactions nest; the innermost wins. Main thread only.
void withAnimation(const Animation& animation, const std::function<void()>& body);
// The animation of the transaction running now, if any.
std::optional<Animation> currentTransaction();

// A recorded value, for observers and tests.
using RecordedValue = std::variant<std::monostate, bool, std::int64_t, double, std::string>;

// How values of a type are recorded and interpolated. Discrete types (Booleans, enums,
// strings) do not interpolate: a view reads their old and new value with the fraction.
template <class T, class Enable = void>
struct ValueTraits;

template <class T>
struct ValueTraits<T, std::enable_if_t<std::is_floating_point_v<T>>> {
  static constexpr bool interpolates = true;
  static RecordedValue record(const T& v) { return static_cast<double>(v); }
  static T interpolate(const T& a, const T& b, double f) { return a + (b - a) * f; }
};
template <>
struct ValueTraits<bool> {
  static constexpr bool interpolates = false;
  static RecordedValue record(const bool& v) { return v; }
  static bool interpolate(const bool& a, const bool& b, double f) { return f >= 1 ? b : a; }
};
template <class T>
struct ValueTraits<T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>>> {
  static constexpr bool interpolates = false;
  static RecordedValue record(const T& v) { return static_cast<std::int64_t>(v); }
  static T interpolate(const T& a, const T& b, double f) { return f >= 1 ? b : a; }
};
template <>
struct ValueTraits<std::string> {
  static constexpr bool interpolates = false;
  static RecordedValue record(const std::string& v) { return v; }
  static std::string interpolate(const std::string& a, const std::string& b, double f) {
    return f >= 1 ? b : a;
  }
};
template <class T>
struct ValueTraits<T, std::enable_if_t<std::is_enum_v<T>>> {
  static constexpr bool interpolates = false;
  static RecordedValue record(const T& v) { return static_cast<std::int64_t>(v); }
  static T interpolate(const T& a, const T& b, double f) { return f >= 1 ? b : a; }
};
template <>
struct ValueTraits<std::optional<std::string>> {
  static constexpr bool interpolates = false;
  static RecordedValue record(const std::optional<std::string>& v) {
    return v ? RecordedValue(*v) : RecordedValue(std::monostate{});
  }
  static std::optional<std::string> interpolate(const std::optional<std::string>& a,
                                                const std::optional<std::string>& b, double f) {
    return f >= 1 ? b : a;
  }
};

// One change as observers see it (before the value changes).
struct Change {
  std::string field;
  RecordedValue newValue;
  std::optional<Animation> animation;
  double time = 0;  // platform::dispatch::now() at the change
};

class ObservableObject;

class PublishedBase {
 public:
  PublishedBase(ObservableObject* owner, std::string name);
  virtual ~PublishedBase() = default;
  PublishedBase(const PublishedBase&) = delete;
  PublishedBase& operator=(const PublishedBase&) = delete;
  const std::string& name() const { return name_; }

 protected:
  void willChange(const RecordedValue& newValue, const std::optional<Animation>& animation,
                  double time);

 private:
  ObservableObject* owner_;
  std::string name_;
};

// An observable model's base: observers are called before any published field changes.
class ObservableObject {
 public:
  using Observer = std::function<void(const Change&)>;
  using Token = std::uint64_t;

  ObservableObject() = default;
  virtual ~ObservableObject() = default;
  ObservableObject(const ObservableObject&) = delete;
  ObservableObject& operator=(const ObservableObject&) = delete;

  Token subscribe(Observer observer);
  void unsubscribe(Token token);

 private:
  friend class PublishedBase;
  void notify(const Change& change);

  Token next_ = 1;
  std::map<Token, Observer> observers_;
};

double currentTime();

// A published field. Assigning notifies the owner's observers and records the transaction.
template <class T>
class Published : public PublishedBase {
 public:
  using Traits = ValueTraits<T>;

  // What a view needs at one time: the value moving from `from` to `to`, `fraction` of the
  // way along its curve (1 when settled).
  struct Sample {
    T from;
    T to;
    double fraction;
  };

  Published(ObservableObject* owner, std::string name, T initial)
      : PublishedBase(owner, std::move(name)), value_(initial), from_(initial) {}

  const T& value() const { return value_; }
  operator const T&() const { return value_; }

  void set(const T& newValue) {
    const auto animation = currentTransaction();
    const double time = currentTime();
    willChange(Traits::record(newValue), animation, time);
    if (animation) {
      if constexpr (Traits::interpolates) {
        from_ = presented(time);
      } else {
        from_ = value_;
      }
    } else {
      from_ = newValue;
    }
    value_ = newValue;
    animation_ = animation;
    changedAt_ = time;
  }
  Published& operator=(const T& newValue) {
    set(newValue);
    return *this;
  }

  // The animation of the last change (absent when it was made outside a transaction) and
  // when it was made.
  const std::optional<Animation>& animation() const { return animation_; }
  double changedAt() const { return changedAt_; }

  Sample sample(double time) const {
    if (!animation_) return {value_, value_, 1.0};
    return {from_, value_, animation_->fraction(time - changedAt_)};
  }
  Sample sample() const { return sample(currentTime()); }

  // The value on screen at `time`. Discrete values switch when their change has finished.
  T presented(double time) const {
    const Sample s = sample(time);
    return Traits::interpolate(s.from, s.to, s.fraction);
  }
  T presented() const { return presented(currentTime()); }

 private:
  T value_;
  T from_;
  std::optional<Animation> animation_;
  double changedAt_ = 0;
};

// Solves a cubic Bézier timing curve from (0,0) to (1,1): the y for a given x.
double solveTimingCurve(double c1x, double c1y, double c2x, double c2y, double x);

}  // namespace platform::animation
