// The printed lines of a diagnostic switch's run (tests/diagcamera, tests/capture).
#pragma once

#include <sstream>
#include <string>
#include <vector>

namespace quorvel::testing {

// The printed text split at line breaks; a text that does not end with one gets a last
// element "<unterminated>" followed by the rest, so a missing line break shows.
inline std::vector<std::string> printedLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string::size_type start = 0;
  for (;;) {
    const auto end = text.find('\n', start);
    if (end == std::string::npos) break;
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  if (start < text.size()) lines.push_back("<unterminated>" + text.substr(start));
  return lines;
}

inline std::vector<std::string> argv(const std::string& swtch) { return {"quorvel", swtch}; }

}  // namespace quorvel::testing
