// Dynamic loading of the window server's private framework (SkyLight) by path, with symbol
// lookup, and the C signatures of the functions our overlay calls in it. Arrays of numbers
// are passed as `NumberArray` (the stand-in of a CFArray of CFNumbers).
//
// The loader is installed: on Linux it is `dlopen`/`dlsym`, and the framework's path does not
// exist there, so opening fails. Tests install a loader that knows a simulated SkyLight at
// that path.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
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
// `dlopen` / `dlsym`.
std::shared_ptr<DynamicLoader> makeLinuxLoader();

// Casts a looked-up symbol to its function type.
template <class F>
F functionCast(void* symbol) {
  return reinterpret_cast<F>(symbol);
}

// A SkyLight of our own offering the eight functions the overlay looks up. It records every
// call as a line ("SLSSpaceCreate(7001, 1, 0) -> 57", ...), keeps a transform per window, and
// can leave symbols out or make the transform calls fail. Its functions are plain C
// functions, so one instance is active at a time (the last one made).
class SimulatedSkyLight : public DynamicLibrary {
 public:
  static constexpr const char* kSymbols[] = {
      "SLSMainConnectionID",        "SLSSpaceCreate",
      "SLSSpaceSetAbsoluteLevel",   "SLSShowSpaces",
      "SLSSpaceAddWindowsAndRemoveFromSpaces", "SLSRemoveWindowsFromSpaces",
      "SLSGetWindowTransform",      "SLSSetWindowTransform"};

  SimulatedSkyLight();
  ~SimulatedSkyLight() override;

  void* symbol(const std::string& name) override;

  void removeSymbol(const std::string& name);
  std::vector<std::string> calls() const;
  std::vector<std::string> lookups() const;
  void clearCalls();

  std::int32_t connectionID() const { return connection_; }
  std::int32_t createdSpace() const { return space_; }
  // Windows added to a space, in order, with the space.
  std::vector<std::pair<std::int32_t, std::int64_t>> addedWindows() const;

  AffineTransform transform(std::uint32_t window) const;
  void setTransform(std::uint32_t window, const AffineTransform& transform);
  void setGetTransformStatus(std::int32_t status);
  void setSetTransformStatus(std::int32_t status);
  int setTransformCount() const;

  // Called by the C functions.
  static SimulatedSkyLight* active();
  void record(const std::string& call);
  std::int32_t nextSpace();
  void addWindows(std::int32_t space, const NumberArray& windows);
  std::int32_t getTransform(std::uint32_t window, AffineTransform* out);
  std::int32_t storeTransform(std::uint32_t window, const AffineTransform& transform);

 private:
  mutable std::mutex mutex_;
  std::set<std::string> removed_;
  std::vector<std::string> calls_;
  std::vector<std::string> lookups_;
  std::int32_t connection_ = 7001;
  std::int32_t space_ = 0;
  std::vector<std::pair<std::int32_t, std::int64_t>> added_;
  std::map<std::uint32_t, AffineTransform> transforms_;
  std::int32_t getStatus_ = 0;
  std::int32_t setStatus_ = 0;
  int setCount_ = 0;
};

// Opens the libraries it has been given by path; every other path fails like `dlopen`.
class SimulatedLoader : public DynamicLoader {
 public:
  std::shared_ptr<DynamicLibrary> open(const std::string& path, int mode) override;
  std::string lastError() override;

  void add(const std::string& path, std::shared_ptr<DynamicLibrary> library);
  void remove(const std::string& path);
  // (path, mode) of every open request.
  std::vector<std::pair<std::string, int>> opens() const;

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::shared_ptr<DynamicLibrary>> libraries_;
  std::vector<std::pair<std::string, int>> opens_;
  std::string error_;
};

}  // namespace platform::windowserver
