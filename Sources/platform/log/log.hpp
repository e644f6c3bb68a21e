// The unified-log stand-in: loggers by subsystem and category writing printf-style messages
// at info, default and error level. Formats may carry the privacy and type annotations of
// the platform's log (`%{public}s`, `%{private}s`, `%{bool}d`, ...): the annotations are
// removed and the values formatted. On Linux the lines go to standard error; tests install
// a capturing sink (simulated_log.hpp).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

namespace platform::log {

enum class Level { Debug, Info, Default, Error, Fault };

const char* levelName(Level level);

// One argument of a message.
using Arg = std::variant<std::int64_t, std::uint64_t, double, bool, std::string>;

template <class T>
Arg makeArg(const T& value) {
  using D = std::decay_t<T>;
  if constexpr (std::is_same_v<D, bool>) {
    return Arg(value);
  } else if constexpr (std::is_integral_v<D> && std::is_signed_v<D>) {
    return Arg(static_cast<std::int64_t>(value));
  } else if constexpr (std::is_integral_v<D>) {
    return Arg(static_cast<std::uint64_t>(value));
  } else if constexpr (std::is_enum_v<D>) {
    return Arg(static_cast<std::int64_t>(value));
  } else if constexpr (std::is_floating_point_v<D>) {
    return Arg(static_cast<double>(value));
  } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
    return Arg(std::string(std::string_view(value)));
  } else if constexpr (std::is_same_v<D, std::nullptr_t>) {
    return Arg(std::string("(null)"));
  } else {
    static_assert(std::is_pointer_v<D>, "unsupported log argument type");
    return Arg(static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(value)));
  }
}

// Formats `format` with `args` the way the platform's log renders a message.
std::string format(std::string_view format, const std::vector<Arg>& args);

struct Entry {
  double date;  // seconds since 2001-01-01 UTC
  Level level;
  std::string subsystem;
  std::string category;
  std::string message;
};

class Sink {
 public:
  virtual ~Sink() = default;
  virtual void write(const Entry& entry) = 0;
};

// Writes "<ISO time> <level> [<subsystem>:<category>] <message>" lines to standard error.
class StandardErrorSink : public Sink {
 public:
  void write(const Entry& entry) override;
};

void installSink(std::shared_ptr<Sink> sink);
std::shared_ptr<Sink> currentSink();

class Logger {
 public:
  Logger(std::string subsystem, std::string category)
      : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

  template <class... A>
  void debug(std::string_view fmt, const A&... args) const {
    writeEntry(Level::Debug, fmt, {makeArg(args)...});
  }
  template <class... A>
  void info(std::string_view fmt, const A&... args) const {
    writeEntry(Level::Info, fmt, {makeArg(args)...});
  }
  // The default level (the platform's `log` / `notice`).
  template <class... A>
  void log(std::string_view fmt, const A&... args) const {
    writeEntry(Level::Default, fmt, {makeArg(args)...});
  }
  template <class... A>
  void notice(std::string_view fmt, const A&... args) const {
    writeEntry(Level::Default, fmt, {makeArg(args)...});
  }
  template <class... A>
  void error(std::string_view fmt, const A&... args) const {
    writeEntry(Level::Error, fmt, {makeArg(args)...});
  }
  template <class... A>
  void fault(std::string_view fmt, const A&... args) const {
    writeEntry(Level::Fault, fmt, {makeArg(args)...});
  }

  const std::string& subsystem() const { return subsystem_; }
  const std::string& category() const { return category_; }

 private:
  void writeEntry(Level level, std::string_view fmt, std::vector<Arg> args) const;

  std::string subsystem_;
  std::string category_;
};

}  // namespace platform::log
