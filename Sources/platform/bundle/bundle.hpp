// The application bundle: a folder "Quorvel.bundle" next to the executable whose
// "Resources" folder holds what the application ships (models, weights). Resources are
// looked up by name and extension; a resource may be a file or a folder (a model package).
// The process uses the bundle beside its executable; tests install one of their own.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace platform::bundle {

// The bundle folder's name beside the executable.
inline constexpr const char* kBundleFolderName = "Quorvel.bundle";

class Bundle {
 public:
  // A bundle rooted at `bundlePath` (the folder that holds "Resources").
  explicit Bundle(std::string bundlePath);

  // The bundle the process runs from (the installed one, else the one beside the
  // executable).
  static Bundle& main();

  const std::string& bundlePath() const { return bundlePath_; }
  // bundlePath + "/Resources".
  std::string resourcePath() const;

  // The path of the resource "name.ext" (ext may be empty: then "name" alone), or no value
  // when the bundle has no such file or folder. Names that would leave the resources
  // folder ("/", "..", empty) find nothing.
  std::optional<std::string> url(const std::string& name, const std::string& ext) const;
  // The path of the resource "name.ext" when it is a regular file (not a folder).
  std::optional<std::string> fileURL(const std::string& name, const std::string& ext) const;
  // The same lookup under the platform's other spelling.
  std::optional<std::string> path(const std::string& name, const std::string& type) const {
    return url(name, type);
  }

 private:
  std::string bundlePath_;
};

// The folder of the running executable (from /proc/self/exe), or "." when unknown.
std::string executableFolder();
// executableFolder() + "/Quorvel.bundle".
std::string defaultBundlePath();

// Replaces the bundle that `Bundle::main()` answers; nullptr goes back to the default one.
void install(std::shared_ptr<Bundle> bundle);
std::shared_ptr<Bundle> current();

}  // namespace platform::bundle
