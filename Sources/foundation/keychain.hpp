// The one gateway to the Keychain: small secrets kept as generic-password items of the
// service "com.tessmin.quorvel", one item per account name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorvel {

using Bytes = std::vector<std::uint8_t>;

struct Keychain {
  Keychain() = delete;

  static constexpr const char* service = "com.tessmin.quorvel";

  // The outcome of a read.
  struct ReadResult {
    enum class Case { found, failed, absent };
    Case kind = Case::absent;
    Bytes data;               // found: the item's value
    std::int32_t status = 0;  // failed: the Keychain's status (0: success without a value)

    static ReadResult found(Bytes data) { return {Case::found, std::move(data), 0}; }
    static ReadResult failed(std::int32_t status) { return {Case::failed, {}, status}; }
    static ReadResult absent() { return {Case::absent, {}, 0}; }
    bool isFound() const { return kind == Case::found; }
    bool isFailed() const { return kind == Case::failed; }
    bool isAbsent() const { return kind == Case::absent; }
  };

  // Adds a new item; never replaces an existing one (false then).
  static bool create(const Bytes& data, const std::string& account);
  // Replaces the item's value, or adds the item when there is none.
  static bool set(const Bytes& data, const std::string& account);
  static ReadResult read(const std::string& account);
  // The value, or no value when the item is missing or cannot be read.
  static std::optional<Bytes> get(const std::string& account);
  // Deletes the item; false when there was none or the Keychain refused.
  static bool remove(const std::string& account);
};

}  // namespace quorvel
