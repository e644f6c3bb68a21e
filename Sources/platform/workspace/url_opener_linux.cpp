#include "platform/workspace/url_opener_linux.hpp"

#include <grp.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "platform/capture/capture.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "platform/ui/alert.hpp"

extern char** environ;

namespace platform::workspace {
namespace {

bool hasPrefix(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// The built-in camera's device node, when there is one.
std::string builtInCameraNode() {
  const auto devices = capture::current()->discoverDevices(
      {capture::DeviceType::builtInWideAngleCamera}, capture::MediaType::video,
      capture::DevicePosition::unspecified);
  return devices.empty() ? std::string() : devices.front().uniqueID;
}

// The group whose members may use `node`: its own group when that group may read and write
// it, else "video", the group Linux distributions give cameras.
std::string cameraGroup(const std::string& node) {
  struct stat info {};
  if (!node.empty() && ::stat(node.c_str(), &info) == 0 && info.st_gid != 0 &&
      (info.st_mode & S_IRGRP) && (info.st_mode & S_IWGRP)) {
    if (const group* entry = ::getgrgid(info.st_gid)) return entry->gr_name;
  }
  return "video";
}

std::string userName() {
  if (const passwd* entry = ::getpwuid(::geteuid())) return entry->pw_name;
  const char* user = std::getenv("USER");
  return user && *user ? user : "$USER";
}

ui::Alert cameraAccessAlert() {
  const std::string node = builtInCameraNode();
  const std::string group = cameraGroup(node);
  return ui::Alert{
      "Your account may not use the camera",
      "Linux lets the members of the group \"" + group + "\" use the camera" +
          (node.empty() ? std::string() : " (" + node + ")") +
          ". Add your account to it in a terminal:\n\nsudo usermod -aG " + group + " " +
          userName() + "\n\nthen log out and log in again: the camera is allowed from the next login.",
      {"OK"},
      std::nullopt};
}

class LinuxURLOpener : public URLOpener {
 public:
  bool open(const std::string& url) override {
    if (url == kCameraPrivacyAddress) {
      // Shown after the caller's turn, as an opened settings page would be.
      dispatch::mainQueue().async([] { (void)ui::alerts()->runModal(cameraAccessAlert()); });
      return true;
    }
    // Web pages, and local folders and files (the file manager shows them).
    if (!hasPrefix(url, "http://") && !hasPrefix(url, "https://") && !hasPrefix(url, "file:///")) {
      return false;
    }
    std::string program = "xdg-open";
    std::string argument = url;
    char* argv[] = {program.data(), argument.data(), nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, "xdg-open", nullptr, nullptr, argv, environ) != 0) return false;
    // Reap the child without blocking the caller.
    std::thread([pid] {
      int status = 0;
      (void)waitpid(pid, &status, 0);
    }).detach();
    return true;
  }
};

}  // namespace

std::shared_ptr<URLOpener> makeLinuxURLOpener() { return std::make_shared<LinuxURLOpener>(); }

}  // namespace platform::workspace
