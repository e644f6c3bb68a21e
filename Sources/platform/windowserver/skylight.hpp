// Dynamic loading of the window server's private framework (SkyLight) by path, with symbol
// lookup, and the C signatures of the functions our overlay calls in it. Arrays of numbers
// are passed as `NumberArray` (the stand-in of a CFArray of CFNumbers).
//
// The loader is installed: on Linux it is `dlopen`/`dlsym`, and the framework's path does not
// exist there, so opening fails. Tests install a loader that knows a simulated SkyLight at
// that path.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/geometry/geometry.hpp"

namespace platform::windowserver {

inline constexpr const char* kSkyLightPath =
    "/System/Library/PrivateFrameworks/SkyLight.framework/Versions/A/SkyLight";
// The `dlopen` mode flag for binding every symbol at once.
inline constexpr int kRTLDNow = 2;

using NumberArray = std::vector<std::int64_t>;

namespace skylight {
using MainConnectionID = std::int32_t (*)();
using SpaceCreate = std::int32_t (*)(std::int32_t connection, std::int32_t a, std::int32_t b);
using SpaceSetAbsoluteLevel = std::int32_t (*)(std::int32_t connection, std::int32_t space,
                                               std::int32_t level);
using ShowSpaces = std::int32_t (*)(std::int32_t connection, const NumberArray* spaces);
using SpaceAddWindowsAndRemoveFromSpaces = void (*)(std::int32_t connection, std::int32_t space,
                                                    const NumberArray* windows,
                                                    std::int32_t flags);
using RemoveWindowsFromSpaces = std::int32_t (*)(std::int32_t connection,
                                                 const NumberArray* windows,
                                                 const NumberArray* spaces);
using GetWindowTransform = std::int32_t (*)(std::int32_t connection, std::uint32_t window,
                                            AffineTransform* transform);
using SetWindowTransform = std::int32_t (*)(std::int32_t connection, std::uint32_t window,
                                            AffineTransform transform);
}  // namespace skylight

// An opened library; the handle stays valid for the life of the process.
class DynamicLibrary {
 public:
  virtual ~DynamicLibrary() = default;
  // The address of `name`, or null when the library has no such symbol.
  virtual void* symbol(const std::string& name) = 0;
};

class DynamicLoader {
 public:
  virtual ~DynamicLoader() = default;
  // Null when the library cannot be opened; `lastError()` then says why.
  virtual std::shared_ptr<DynamicLibrary> open(const std::string& path, int mode) = 0;
  virtual std::string lastError() = 0;
};

std::shared_ptr<DynamicLoader> loader();
void installLoader(std::shared_ptr<DynamicLoader> loader);

// Casts a looked-up symbol to its function type.
template <class F>
F functionCast(void* symbol) {
  return reinterpret_cast<F>(symbol);
}

}  // namespace platform::windowserver
