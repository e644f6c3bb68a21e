#include "platform/bundle/bundle.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <string_view>

namespace platform::bundle {
namespace {

std::mutex& installedMutex() {
  static std::mutex mutex;
  return mutex;
}
std::shared_ptr<Bundle>& installed() {
  static std::shared_ptr<Bundle> bundle;
  return bundle;
}

// A plain resource name: not empty, no path separator, not "." or "..".
bool isPlainName(std::string_view name) {
  return !name.empty() && name.find('/') == std::string_view::npos && name != "." &&
         name != "..";
}

}  // namespace

Bundle::Bundle(std::string bundlePath) : bundlePath_(std::move(bundlePath)) {
  while (bundlePath_.size() > 1 && bundlePath_.back() == '/') bundlePath_.pop_back();
}

Bundle& Bundle::main() {
  // Held by the installed pointer (or the lazily made default) for the process's life.
  return *current();
}

std::string Bundle::resourcePath() const { return bundlePath_ + "/Resources"; }

std::optional<std::string> Bundle::url(const std::string& name, const std::string& ext) const {
  if (!isPlainName(name)) return std::nullopt;
  if (!ext.empty() && ext.find('/') != std::string::npos) return std::nullopt;
  const std::string file = ext.empty() ? name : name + "." + ext;
  if (!isPlainName(file)) return std::nullopt;
  const std::string full = resourcePath() + "/" + file;
  struct stat info {};
  if (::stat(full.c_str(), &info) != 0) return std::nullopt;
  if (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) return std::nullopt;
  return full;
}

std::optional<std::string> Bundle::fileURL(const std::string& name, const std::string& ext) const {
  std::optional<std::string> found = url(name, ext);
  struct stat info {};
  if (!found || ::stat(found->c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return found;
}

std::string executableFolder() {
  char buffer[4096];
  const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length <= 0) return ".";
  std::string path(buffer, static_cast<std::size_t>(length));
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string defaultBundlePath() { return executableFolder() + "/" + kBundleFolderName; }

void install(std::shared_ptr<Bundle> bundle) {
  std::lock_guard<std::mutex> lock(installedMutex());
  installed() = std::move(bundle);
}

std::shared_ptr<Bundle> current() {
  std::lock_guard<std::mutex> lock(installedMutex());
  if (!installed()) installed() = std::make_shared<Bundle>(defaultBundlePath());
  return installed();
}

}  // namespace platform::bundle
