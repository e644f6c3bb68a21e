#include "platform/authorization/polkit_agent_linux.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "platform/logind/login_session.hpp"

namespace platform::authorization {

std::optional<std::string> agentExecutable(std::int32_t pid) {
  if (pid < 1) return std::nullopt;
  std::error_code error;
  const std::string path = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", error).string();
  // The kernel marks an executable that was deleted or replaced since the process started.
  if (error || path.empty() || path.ends_with(" (deleted)")) return std::nullopt;
  const std::string name = std::filesystem::path(path).filename().string();
  const bool known = std::any_of(kKnownAgents.begin(), kKnownAgents.end(),
                                 [&](const char* agent) { return name == agent; });
  if (!known) return std::nullopt;
  return path;
}

bool isGenuineAgent(std::int32_t pid) {
  const auto executable = agentExecutable(pid);
  if (!executable || !logind::runsSystemExecutable(pid, *executable)) return false;
  struct stat process {};
  if (::stat(("/proc/" + std::to_string(pid)).c_str(), &process) != 0) return false;
  return process.st_uid == ::getuid();
}

}  // namespace platform::authorization
