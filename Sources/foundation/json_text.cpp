#include "foundation/json_text.hpp"

#include <charconv>
#include <nlohmann/json.hpp>

namespace quorvel::json_text {
namespace {

template <class F>
void appendShortest(std::string& out, F value) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

}  // namespace

std::string string(const std::string& text) {
  // The library escapes quotes, backslashes and control characters; the platform's encoder
  // also escapes the solidus.
  const std::string dumped = nlohmann::json(text).dump(-1, ' ', false,
                                                       nlohmann::json::error_handler_t::replace);
  std::string out;
  out.reserve(dumped.size() + 4);
  for (char c : dumped) {
    if (c == '/') out += '\\';
    out += c;
  }
  return out;
}

void appendNumber(std::string& out, float value) { appendShortest(out, value); }
void appendNumber(std::string& out, double value) { appendShortest(out, value); }

}  // namespace quorvel::json_text
