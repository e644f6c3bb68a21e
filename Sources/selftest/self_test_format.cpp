#include "selftest/self_test_format.hpp"

#include <charconv>
#include <cstdio>

namespace quorvel::self_test_format {

std::string fixed4(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.4f", value);
  return text;
}

namespace {
template <typename T>
std::string shortestOf(T value) {
  char text[64];
  const auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}
}  // namespace

std::string shortest(double value) { return shortestOf(value); }
std::string shortest(float value) { return shortestOf(value); }

}  // namespace quorvel::self_test_format
