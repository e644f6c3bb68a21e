// Pieces of JSON text written the way the platform's JSON encoder writes them with its
// default options: compact, strings with "/" escaped as "\/", floating-point numbers in
// their shortest form that reads back to the same value (an integral value without ".0").
#pragma once

#include <string>

namespace quorvel::json_text {

// `text` (UTF-8) as a JSON string literal, quotes included.
std::string string(const std::string& text);
// Appends the shortest round-trip decimal form of a 32-bit float (finite values only).
void appendNumber(std::string& out, float value);
// Appends the shortest round-trip decimal form of a 64-bit float (finite values only).
void appendNumber(std::string& out, double value);

}  // namespace quorvel::json_text
