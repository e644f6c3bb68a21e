#include "platform/windowserver/simulated_skylight.hpp"

#include <atomic>
#include <charconv>

namespace platform::windowserver {
namespace {

std::atomic<SimulatedSkyLight*>& activeSkyLight() {
  static std::atomic<SimulatedSkyLight*> value{nullptr};
  return value;
}

std::string number(double value) {
  if (value == 0) return "0";
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

std::string arrayText(const NumberArray* array) {
  if (!array) return "null";
  std::string text = "[";
  for (std::size_t i = 0; i < array->size(); ++i) {
    if (i) text += ", ";
    text += std::to_string((*array)[i]);
  }
  return text + "]";
}

std::string transformText(const AffineTransform& t) {
  return "{" + number(t.a) + ", " + number(t.b) + ", " + number(t.c) + ", " + number(t.d) +
         ", " + number(t.tx) + ", " + number(t.ty) + "}";
}

// The C functions of the simulated framework.
std::int32_t slsMainConnectionID() {
  auto* sky = SimulatedSkyLight::active();
  if (!sky) return 0;
  sky->record("SLSMainConnectionID() -> " + std::to_string(sky->connectionID()));
  return sky->connectionID();
}

std::int32_t slsSpaceCreate(std::int32_t connection, std::int32_t a, std::int32_t b) {
  auto* sky = SimulatedSkyLight::active();
  if (!sky) return 0;
  const std::int32_t space = sky->nextSpace();
  sky->record("SLSSpaceCreate(" + std::to_string(connection) + ", " + std::to_string(a) + ", " +
              std::to_string(b) + ") -> " + std::to_string(space));
  return space;
}

std::int32_t slsSpaceSetAbsoluteLevel(std::int32_t connection, std::int32_t space,
                                      std::int32_t level) {
  if (auto* sky = SimulatedSkyLight::active()) {
    sky->record("SLSSpaceSetAbsoluteLevel(" + std::to_string(connection) + ", " +
                std::to_string(space) + ", " + std::to_string(level) + ")");
  }
  return 0;
}

std::int32_t slsShowSpaces(std::int32_t connection, const NumberArray* spaces) {
  if (auto* sky = SimulatedSkyLight::active()) {
    sky->record("SLSShowSpaces(" + std::to_string(connection) + ", " + arrayText(spaces) + ")");
  }
  return 0;
}

void slsSpaceAddWindowsAndRemoveFromSpaces(std::int32_t connection, std::int32_t space,
                                           const NumberArray* windows, std::int32_t flags) {
  auto* sky = SimulatedSkyLight::active();
  if (!sky) return;
  sky->record("SLSSpaceAddWindowsAndRemoveFromSpaces(" + std::to_string(connection) + ", " +
              std::to_string(space) + ", " + arrayText(windows) + ", " + std::to_string(flags) +
              ")");
  if (windows) sky->addWindows(space, *windows);
}

std::int32_t slsRemoveWindowsFromSpaces(std::int32_t connection, const NumberArray* windows,
                                        const NumberArray* spaces) {
  if (auto* sky = SimulatedSkyLight::active()) {
    sky->record("SLSRemoveWindowsFromSpaces(" + std::to_string(connection) + ", " +
                arrayText(windows) + ", " + arrayText(spaces) + ")");
  }
  return 0;
}

std::int32_t slsGetWindowTransform(std::int32_t connection, std::uint32_t window,
                                   AffineTransform* transform) {
  auto* sky = SimulatedSkyLight::active();
  if (!sky) return -1;
  const std::int32_t status = sky->getTransform(window, transform);
  sky->record("SLSGetWindowTransform(" + std::to_string(connection) + ", " +
              std::to_string(window) + ") -> " + std::to_string(status));
  return status;
}

std::int32_t slsSetWindowTransform(std::int32_t connection, std::uint32_t window,
                                   AffineTransform transform) {
  auto* sky = SimulatedSkyLight::active();
  if (!sky) return -1;
  const std::int32_t status = sky->storeTransform(window, transform);
  sky->record("SLSSetWindowTransform(" + std::to_string(connection) + ", " +
              std::to_string(window) + ", " + transformText(transform) + ") -> " +
              std::to_string(status));
  return status;
}

}  // namespace

// --- simulated SkyLight --------------------------------------------------------------------

SimulatedSkyLight::SimulatedSkyLight() { activeSkyLight().store(this); }

SimulatedSkyLight::~SimulatedSkyLight() {
  SimulatedSkyLight* self = this;
  activeSkyLight().compare_exchange_strong(self, nullptr);
}

SimulatedSkyLight* SimulatedSkyLight::active() { return activeSkyLight().load(); }

void* SimulatedSkyLight::symbol(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  lookups_.push_back(name);
  if (removed_.count(name)) return nullptr;
  if (name == "SLSMainConnectionID") return reinterpret_cast<void*>(&slsMainConnectionID);
  if (name == "SLSSpaceCreate") return reinterpret_cast<void*>(&slsSpaceCreate);
  if (name == "SLSSpaceSetAbsoluteLevel") return reinterpret_cast<void*>(&slsSpaceSetAbsoluteLevel);
  if (name == "SLSShowSpaces") return reinterpret_cast<void*>(&slsShowSpaces);
  if (name == "SLSSpaceAddWindowsAndRemoveFromSpaces") {
    return reinterpret_cast<void*>(&slsSpaceAddWindowsAndRemoveFromSpaces);
  }
  if (name == "SLSRemoveWindowsFromSpaces") {
    return reinterpret_cast<void*>(&slsRemoveWindowsFromSpaces);
  }
  if (name == "SLSGetWindowTransform") return reinterpret_cast<void*>(&slsGetWindowTransform);
  if (name == "SLSSetWindowTransform") return reinterpret_cast<void*>(&slsSetWindowTransform);
  return nullptr;
}

void SimulatedSkyLight::removeSymbol(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  removed_.insert(name);
}

std::vector<std::string> SimulatedSkyLight::calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

std::vector<std::string> SimulatedSkyLight::lookups() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lookups_;
}

void SimulatedSkyLight::clearCalls() {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.clear();
}

std::vector<std::pair<std::int32_t, std::int64_t>> SimulatedSkyLight::addedWindows() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return added_;
}

AffineTransform SimulatedSkyLight::transform(std::uint32_t window) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = transforms_.find(window);
  return it == transforms_.end() ? AffineTransform{} : it->second;
}

void SimulatedSkyLight::setTransform(std::uint32_t window, const AffineTransform& transform) {
  std::lock_guard<std::mutex> lock(mutex_);
  transforms_[window] = transform;
}

void SimulatedSkyLight::setGetTransformStatus(std::int32_t status) {
  std::lock_guard<std::mutex> lock(mutex_);
  getStatus_ = status;
}

void SimulatedSkyLight::setSetTransformStatus(std::int32_t status) {
  std::lock_guard<std::mutex> lock(mutex_);
  setStatus_ = status;
}

int SimulatedSkyLight::setTransformCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return setCount_;
}

void SimulatedSkyLight::record(const std::string& call) {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.push_back(call);
}

std::int32_t SimulatedSkyLight::nextSpace() {
  std::lock_guard<std::mutex> lock(mutex_);
  space_ = space_ == 0 ? 57 : space_ + 1;
  return space_;
}

void SimulatedSkyLight::addWindows(std::int32_t space, const NumberArray& windows) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto window : windows) added_.emplace_back(space, window);
}

std::int32_t SimulatedSkyLight::getTransform(std::uint32_t window, AffineTransform* out) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (getStatus_ != 0) return getStatus_;
  const auto it = transforms_.find(window);
  if (out) *out = it == transforms_.end() ? AffineTransform{} : it->second;
  return 0;
}

std::int32_t SimulatedSkyLight::storeTransform(std::uint32_t window,
                                               const AffineTransform& transform) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++setCount_;
  if (setStatus_ != 0) return setStatus_;
  transforms_[window] = transform;
  return 0;
}

// --- simulated loader -----------------------------------------------------------------------

std::shared_ptr<DynamicLibrary> SimulatedLoader::open(const std::string& path, int mode) {
  std::lock_guard<std::mutex> lock(mutex_);
  opens_.emplace_back(path, mode);
  const auto it = libraries_.find(path);
  if (it == libraries_.end()) {
    error_ = path + ": cannot open shared object file: No such file or directory";
    return nullptr;
  }
  return it->second;
}

std::string SimulatedLoader::lastError() {
  std::lock_guard<std::mutex> lock(mutex_);
  return error_;
}

void SimulatedLoader::add(const std::string& path, std::shared_ptr<DynamicLibrary> library) {
  std::lock_guard<std::mutex> lock(mutex_);
  libraries_[path] = std::move(library);
}

void SimulatedLoader::remove(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  libraries_.erase(path);
}

std::vector<std::pair<std::string, int>> SimulatedLoader::opens() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return opens_;
}

}  // namespace platform::windowserver
