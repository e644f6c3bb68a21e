#include "app/diagnostics_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "recognition/match_engine.hpp"

namespace quorvel::diagnostics {
namespace {

// `scientific` is the shortest round-trip text in exponent form ("-1.2345e+02").
std::string format(const std::string& scientific, double magnitude, double upperLimit) {
  std::string digits;
  bool negative = false;
  std::size_t i = 0;
  if (scientific[i] == '-') {
    negative = true;
    ++i;
  }
  for (; i < scientific.size() && scientific[i] != 'e'; ++i) {
    if (scientific[i] != '.') digits += scientific[i];
  }
  const int exponent = std::atoi(scientific.c_str() + i + 1);
  std::string text = negative ? "-" : "";
  if (magnitude < 1e-4 || magnitude > upperLimit) {
    text += digits.substr(0, 1);
    if (digits.size() > 1) text += "." + digits.substr(1);
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "e%c%02d", exponent < 0 ? '-' : '+', std::abs(exponent));
    return text + buffer;
  }
  if (exponent < 0) {
    return text + "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
  }
  const std::size_t integerDigits = static_cast<std::size_t>(exponent) + 1;
  if (digits.size() <= integerDigits) {
    return text + digits + std::string(integerDigits - digits.size(), '0') + ".0";
  }
  return text + digits.substr(0, integerDigits) + "." + digits.substr(integerDigits);
}

template <class T>
std::string describe(T value, double upperLimit) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  if (value == 0) return std::signbit(value) ? "-0.0" : "0.0";
  char buffer[64];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  return format(std::string(buffer, result.ptr), std::fabs(static_cast<double>(value)),
                upperLimit);
}

}  // namespace

std::string description(double value) { return describe(value, 9007199254740992.0); }
std::string description(float value) { return describe(value, 16777216.0); }

std::string lastPathComponent(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const std::size_t slash = trimmed.find_last_of('/');
  if (slash == std::string::npos || trimmed.size() == 1) return trimmed;
  return trimmed.substr(slash + 1);
}

void printPairwiseRows(const std::vector<Sample>& samples, std::ostream& out) {
  for (std::size_t i = 0; i < samples.size(); ++i) {
    for (std::size_t j = i + 1; j < samples.size(); ++j) {
      const double distance = MatchEngine::euclidean(samples[i].embedding, samples[j].embedding);
      char number[64];
      std::snprintf(number, sizeof number, "%.4f", distance);
      out << "  " << samples[i].name << " vs " << samples[j].name << ": " << number << " "
          << (distance < 0.6 ? "\u2190 WOULD MATCH" : "") << "\n";
    }
  }
}

}  // namespace quorvel::diagnostics
