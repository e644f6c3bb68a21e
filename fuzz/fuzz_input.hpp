// Helpers of the fuzz targets: reading typed values from the fuzzer's bytes, checks that end
// the run with a message (a crash to the fuzzer, a failure to the replay test), and the key
// of the sealed seeds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <type_traits>
#include <vector>

#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (false)

namespace quorvel::fuzz {

// The input as a stream of values; past its end every value reads as zero.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  template <class T>
  T take() {
    static_assert(std::is_trivially_copyable_v<T>);
    T value{};
    const std::size_t count = size_ < sizeof(T) ? size_ : sizeof(T);
    if (count > 0) std::memcpy(&value, data_, count);
    data_ += count;
    size_ -= count;
    return value;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

// The key the seed files are sealed with (fuzz/make_seeds.cpp): the bytes 0, 1, ..., 31.
inline std::vector<std::uint8_t> sealingKey() {
  std::vector<std::uint8_t> key(32);
  std::iota(key.begin(), key.end(), std::uint8_t{0});
  return key;
}

}  // namespace quorvel::fuzz
