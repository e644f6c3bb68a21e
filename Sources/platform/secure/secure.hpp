// Wiping secrets: memory that held a password is overwritten before it is given back, in a
// way the compiler may not drop as a dead store.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace platform::secure {

// Overwrites `size` bytes at `data` with zeros.
void wipe(void* data, std::size_t size);

// Overwrites the whole buffer of a string (its unused capacity included), then empties it.
template <class Char>
void wipe(std::basic_string<Char>& text) {
  text.resize(text.capacity());
  wipe(text.data(), text.size() * sizeof(Char));
  text.clear();
}

// Overwrites the elements of a vector, then empties it.
template <class T>
void wipe(std::vector<T>& values) {
  wipe(values.data(), values.size() * sizeof(T));
  values.clear();
}

}  // namespace platform::secure
