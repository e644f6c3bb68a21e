#include "platform/windowserver/skylight_linux.hpp"

#include <dlfcn.h>

#include <mutex>

#include "platform/windowserver/lock_screen_space_linux.hpp"

namespace platform::windowserver {
namespace {

class LinuxLibrary : public DynamicLibrary {
 public:
  explicit LinuxLibrary(void* handle) : handle_(handle) {}
  // The handle is never closed: function pointers from it may be kept anywhere.
  void* symbol(const std::string& name) override { return ::dlsym(handle_, name.c_str()); }

 private:
  void* handle_;
};

class LinuxLoader : public DynamicLoader {
 public:
  std::shared_ptr<DynamicLibrary> open(const std::string& path, int mode) override {
    if (path == kSkyLightPath) return openSpace();
    void* handle = ::dlopen(path.c_str(), mode == kRTLDNow ? RTLD_NOW : RTLD_LAZY);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!handle) {
      const char* error = ::dlerror();
      error_ = error ? error : "unknown error";
      return nullptr;
    }
    return std::make_shared<LinuxLibrary>(handle);
  }
  std::string lastError() override {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
  }

 private:
  // Linux has no such framework: its space above the lock screen is the desktop's road.
  std::shared_ptr<DynamicLibrary> openSpace() {
    std::string why;
    auto space = openLockScreenSpace(&why);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!space) error_ = "no road above the lock screen: " + why;
    return space;
  }

  std::mutex mutex_;
  std::string error_;
};

}  // namespace

std::shared_ptr<DynamicLoader> makeLinuxLoader() { return std::make_shared<LinuxLoader>(); }

}  // namespace platform::windowserver
