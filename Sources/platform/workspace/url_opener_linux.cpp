#include "platform/workspace/url_opener_linux.hpp"

#include <spawn.h>
#include <sys/wait.h>

#include <thread>

extern char** environ;

namespace platform::workspace {
namespace {

bool hasPrefix(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

class LinuxURLOpener : public URLOpener {
 public:
  bool open(const std::string& url) override {
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
