// Small helpers the storage, secrets, self-test and application tests share: text as bytes,
// a file's or item's content, printed lines, distinct descriptors and a forked child.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/keychain.hpp"
#include "support/storage_hooks.hpp"

namespace quorvel::testing {

inline std::vector<std::uint8_t> bytes(const std::string& text) { return {text.begin(), text.end()}; }

inline std::string fileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The value of the application's item `account` in the simulated keychain.
inline std::optional<std::vector<std::uint8_t>> keychainValue(const std::string& account) {
  const auto item = simulatedKeychain().item(Keychain::service, account);
  if (!item) return std::nullopt;
  return item->value;
}

// A descriptor of `length` numbers that differs from that of any other seed.
inline std::vector<float> descriptor(float seed, std::size_t length = 128) {
  std::vector<float> v(length);
  for (std::size_t i = 0; i < length; ++i) v[i] = seed + static_cast<float>(i) / 256.0f;
  return v;
}

// Runs `body` in a forked child; its exit status (0 when `body` returned true), -1 on a crash.
inline int runInChild(const std::function<bool()>& body) {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(body() ? 0 : 1);
  if (child < 0) return -1;
  int status = 0;
  if (::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

}  // namespace quorvel::testing
