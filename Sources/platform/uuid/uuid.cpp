#include "platform/uuid/uuid.hpp"

#include <mutex>
#include <random>

namespace platform::uuid {
namespace {

// One generator per process, seeded from the system's entropy source.
std::uint64_t randomWord() {
  static std::mutex mutex;
  static std::mt19937_64 generator = [] {
    std::random_device device;
    std::seed_seq seed{device(), device(), device(), device(), device(), device(), device(), device()};
    return std::mt19937_64(seed);
  }();
  std::lock_guard<std::mutex> lock(mutex);
  return generator();
}

}  // namespace

UUID::UUID() {
  for (int half = 0; half < 2; ++half) {
    std::uint64_t word = randomWord();
    for (int i = 0; i < 8; ++i) bytes_[half * 8 + i] = static_cast<std::uint8_t>(word >> (8 * i));
  }
  bytes_[6] = static_cast<std::uint8_t>((bytes_[6] & 0x0F) | 0x40);  // version 4
  bytes_[8] = static_cast<std::uint8_t>((bytes_[8] & 0x3F) | 0x80);  // RFC 4122 variant
}

UUID UUID::fromBytes(const std::array<std::uint8_t, 16>& bytes) {
  UUID id{NoInit{}};
  id.bytes_ = bytes;
  return id;
}

std::string UUID::uuidString() const {
  static const char* digits = "0123456789ABCDEF";
  std::string text;
  text.reserve(36);
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
    text.push_back(digits[bytes_[i] >> 4]);
    text.push_back(digits[bytes_[i] & 0x0F]);
  }
  return text;
}

}  // namespace platform::uuid
