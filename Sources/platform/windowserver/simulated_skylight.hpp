// The simulated SkyLight framework and dynamic loader of the tests' machine.
#pragma once

#include <map>
#include <mutex>
#include <set>

#include "platform/windowserver/skylight.hpp"

namespace platform::windowserver {

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
