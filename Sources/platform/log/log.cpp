#include "platform/log/log.hpp"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <iostream>

#include "platform/dispatch/dispatch.hpp"

namespace platform::log {

const char* levelName(Level level) {
  switch (level) {
    case Level::Debug:
      return "Debug";
    case Level::Info:
      return "Info";
    case Level::Default:
      return "Default";
    case Level::Error:
      return "Error";
    case Level::Fault:
      return "Fault";
  }
  return "Default";
}

namespace {

std::int64_t asSigned(const Arg& arg) {
  return std::visit(
      [](const auto& v) -> std::int64_t {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, std::string>) {
          return 0;
        } else if constexpr (std::is_same_v<V, double>) {
          return std::isfinite(v) ? static_cast<std::int64_t>(v) : 0;
        } else {
          return static_cast<std::int64_t>(v);
        }
      },
      arg);
}

double asDouble(const Arg& arg) {
  return std::visit(
      [](const auto& v) -> double {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, std::string>) {
          return 0;
        } else {
          return static_cast<double>(v);
        }
      },
      arg);
}

std::string asString(const Arg& arg) {
  return std::visit(
      [](const auto& v) -> std::string {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, std::string>) {
          return v;
        } else if constexpr (std::is_same_v<V, bool>) {
          return v ? "true" : "false";
        } else if constexpr (std::is_same_v<V, double>) {
          char buffer[64];
          std::snprintf(buffer, sizeof buffer, "%g", v);
          return buffer;
        } else {
          return std::to_string(v);
        }
      },
      arg);
}

bool isLengthModifier(char c) {
  return c == 'l' || c == 'h' || c == 'q' || c == 'z' || c == 'j' || c == 't' || c == 'L';
}

}  // namespace

std::string format(std::string_view fmt, const std::vector<Arg>& args) {
  std::string out;
  std::size_t next = 0;
  std::size_t i = 0;
  while (i < fmt.size()) {
    const char c = fmt[i];
    if (c != '%') {
      out.push_back(c);
      ++i;
      continue;
    }
    if (i + 1 < fmt.size() && fmt[i + 1] == '%') {
      out.push_back('%');
      i += 2;
      continue;
    }
    const std::size_t start = i;
    ++i;
    // Annotations: %{public}, %{private}, %{bool}, %{public, bool}, ...
    std::string annotation;
    if (i < fmt.size() && fmt[i] == '{') {
      const auto close = fmt.find('}', i);
      if (close == std::string_view::npos) {
        out.append(fmt.substr(start));
        break;
      }
      annotation = std::string(fmt.substr(i + 1, close - i - 1));
      i = close + 1;
    }
    std::string spec = "%";
    while (i < fmt.size() && std::string_view("-+ #0").find(fmt[i]) != std::string_view::npos) {
      spec.push_back(fmt[i++]);
    }
    while (i < fmt.size() && ((fmt[i] >= '0' && fmt[i] <= '9') || fmt[i] == '.')) {
      spec.push_back(fmt[i++]);
    }
    while (i < fmt.size() && isLengthModifier(fmt[i])) ++i;
    if (i >= fmt.size()) {
      out.append(fmt.substr(start));
      break;
    }
    const char conversion = fmt[i++];
    if (next >= args.size()) {
      out.append("<missing>");
      continue;
    }
    const Arg& arg = args[next++];
    const bool isBool = annotation.find("bool") != std::string::npos;
    const bool isUpperBool = annotation.find("BOOL") != std::string::npos;
    char buffer[512];
    switch (conversion) {
      case 'd':
      case 'i':
      case 'u':
      case 'x':
      case 'X':
      case 'o':
      case 'c': {
        const auto value = asSigned(arg);
        if (isUpperBool) {
          out.append(value ? "YES" : "NO");
        } else if (isBool) {
          out.append(value ? "true" : "false");
        } else if (conversion == 'c') {
          out.push_back(static_cast<char>(value));
        } else {
          spec.append("ll");
          spec.push_back(conversion == 'i' ? 'd' : conversion);
          std::snprintf(buffer, sizeof buffer, spec.c_str(), static_cast<long long>(value));
          out.append(buffer);
        }
        break;
      }
      case 'f':
      case 'F':
      case 'e':
      case 'E':
      case 'g':
      case 'G':
      case 'a':
      case 'A':
        spec.push_back(conversion);
        std::snprintf(buffer, sizeof buffer, spec.c_str(), asDouble(arg));
        out.append(buffer);
        break;
      case 's':
      case '@':
      case 'p':
      default:
        out.append(asString(arg));
        break;
    }
  }
  return out;
}

// --- sinks ---------------------------------------------------------------------------------

void StandardErrorSink::write(const Entry& entry) {
  const double unixTime = entry.date + dispatch::kSecondsFrom1970To2001;
  const auto seconds = static_cast<std::time_t>(std::floor(unixTime));
  const int millis = static_cast<int>((unixTime - std::floor(unixTime)) * 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char stamp[64];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &utc);
  char line[96];
  std::snprintf(line, sizeof line, "%s.%03d %-7s ", stamp, millis, levelName(entry.level));
  std::string text = line;
  text += "[" + entry.subsystem + ":" + entry.category + "] " + entry.message + "\n";
  std::fwrite(text.data(), 1, text.size(), stderr);
}

namespace {
std::mutex gSinkMutex;
// Never destroyed: a queue's thread may still log while the process exits.
std::shared_ptr<Sink>& installedSink() {
  static auto* sink = new std::shared_ptr<Sink>();
  return *sink;
}
}  // namespace

void installSink(std::shared_ptr<Sink> sink) {
  std::lock_guard<std::mutex> lock(gSinkMutex);
  installedSink() = std::move(sink);
}

std::shared_ptr<Sink> currentSink() {
  std::lock_guard<std::mutex> lock(gSinkMutex);
  auto& sink = installedSink();
  if (!sink) sink = std::make_shared<StandardErrorSink>();
  return sink;
}

void Logger::writeEntry(Level level, std::string_view fmt, std::vector<Arg> args) const {
  Entry entry{dispatch::currentDate(), level, subsystem_, category_, format(fmt, args)};
  currentSink()->write(entry);
}

}  // namespace platform::log
