#include "platform/workspace/display_options_linux.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace platform::workspace {
namespace {

std::string variable(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::istringstream in(text);
  for (std::string part; std::getline(in, part, separator);) parts.push_back(part);
  return parts;
}

std::string trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

bool inKDESession() {
  for (const auto& desktop : split(variable("XDG_CURRENT_DESKTOP"), ':')) {
    if (desktop == "KDE") return true;
  }
  return false;
}

// AnimationDurationFactor in the group [KDE] of one kdeglobals file, when it sets it.
std::optional<double> animationFactorIn(const std::string& path) {
  std::ifstream in(path);
  std::optional<double> factor;
  bool inGroup = false;
  for (std::string line; std::getline(in, line);) {
    line = trimmed(line);
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') {
      // "[Group]", "[Group][Subgroup]"; "[$i]" and the like are flags, not names.
      std::string name;
      for (const auto& part : split(line.substr(1, line.rfind(']') - 1), ']')) {
        const std::string segment = part.empty() || part[0] != '[' ? part : part.substr(1);
        if (segment.empty() || segment[0] != '$') name += (name.empty() ? "" : "/") + segment;
      }
      inGroup = name == "KDE";
      continue;
    }
    const auto equals = line.find('=');
    if (!inGroup || equals == std::string::npos) continue;
    std::string key = trimmed(line.substr(0, equals));
    key = key.substr(0, key.find('['));  // "Key[$i]": flags of the entry
    if (key != "AnimationDurationFactor") continue;
    const std::string value = trimmed(line.substr(equals + 1));
    char* end = nullptr;
    const double number = std::strtod(value.c_str(), &end);
    if (!value.empty() && end && *end == '\0') factor = number;
  }
  return factor;
}

bool kdeAnimationsOff() {
  std::string userFolder = variable("XDG_CONFIG_HOME");
  if (userFolder.empty()) userFolder = variable("HOME") + "/.config";
  std::vector<std::string> folders{userFolder};
  std::string systemFolders = variable("XDG_CONFIG_DIRS");
  if (systemFolders.empty()) systemFolders = "/etc/xdg";
  for (const auto& folder : split(systemFolders, ':')) {
    if (!folder.empty()) folders.push_back(folder);
  }
  for (const auto& folder : folders) {
    if (const auto factor = animationFactorIn(folder + "/kdeglobals")) return *factor == 0;
  }
  return false;
}

// What `gsettings get <schema> <key>` prints, or no value when it fails or takes over 2 s.
std::optional<std::string> gsettingsValue(const char* schema, const char* key) {
  int pipe[2];
  if (::pipe2(pipe, O_CLOEXEC) != 0) return std::nullopt;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipe[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::string program = "gsettings", get = "get", schemaName = schema, keyName = key;
  char* argv[] = {program.data(), get.data(), schemaName.data(), keyName.data(), nullptr};
  pid_t pid = -1;
  const bool started = posix_spawnp(&pid, "gsettings", &actions, nullptr, argv, environ) == 0;
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe[1]);
  std::string output;
  bool ended = false;  // the output is complete
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (started && !ended) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd readable{pipe[0], POLLIN, 0};
    const int ready = left.count() > 0 ? ::poll(&readable, 1, static_cast<int>(left.count())) : 0;
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    char buffer[256];
    const ssize_t n = ::read(pipe[0], buffer, sizeof buffer);
    if (n > 0) {
      output.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      ended = n == 0;
      break;
    }
  }
  ::close(pipe[0]);
  if (!started) return std::nullopt;
  if (!ended) ::kill(pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!ended || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return trimmed(output.substr(0, output.find('\n')));
}

class LinuxDisplayOptions : public DisplayOptions {
 public:
  bool accessibilityDisplayShouldReduceMotion() override {
    const std::string forced = variable("QUORVEL_REDUCE_MOTION");
    if (forced == "1" || forced == "0") return forced == "1";
    if (inKDESession()) return kdeAnimationsOff();
    return gsettingsValue("org.gnome.desktop.interface", "enable-animations") == "false";
  }
};

}  // namespace

std::shared_ptr<DisplayOptions> makeLinuxDisplayOptions() {
  return std::make_shared<LinuxDisplayOptions>();
}

}  // namespace platform::workspace
