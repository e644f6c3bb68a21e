// Universally unique identifiers (random, version 4), as values: comparable, hashable and
// printable in the usual 8-4-4-4-12 upper-case form.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <functional>
#include <string>

namespace platform::uuid {

class UUID {
 public:
  // A fresh random identifier.
  UUID();
  static UUID fromBytes(const std::array<std::uint8_t, 16>& bytes);

  const std::array<std::uint8_t, 16>& bytes() const { return bytes_; }
  std::string uuidString() const;

  friend bool operator==(const UUID&, const UUID&) = default;
  friend auto operator<=>(const UUID&, const UUID&) = default;

 private:
  struct NoInit {};
  explicit UUID(NoInit) {}
  std::array<std::uint8_t, 16> bytes_{};
};

}  // namespace platform::uuid

template <>
struct std::hash<platform::uuid::UUID> {
  std::size_t operator()(const platform::uuid::UUID& id) const noexcept {
    std::size_t value = 0;
    for (auto byte : id.bytes()) value = value * 131 + byte;
    return value;
  }
};
