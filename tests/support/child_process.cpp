#include "support/child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

extern char** environ;

namespace quorvel::testing {
namespace {

using Clock = std::chrono::steady_clock;

// The test's environment without what must stay in the test process, with `extra` on top.
std::vector<std::string> childEnvironment(const std::vector<std::string>& extra) {
  std::vector<std::string> result;
  auto name = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
  for (char** entry = environ; entry && *entry; ++entry) {
    const std::string setting(*entry);
    const std::string key = name(setting);
    if (key == "LD_PRELOAD" || key.rfind("PAM_WRAPPER", 0) == 0) continue;
    bool replaced = false;
    for (const auto& other : extra) replaced = replaced || name(other) == key;
    if (!replaced) result.push_back(setting);
  }
  result.insert(result.end(), extra.begin(), extra.end());
  return result;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (auto& text : strings) result.push_back(text.data());
  result.push_back(nullptr);
  return result;
}

pid_t spawn(std::vector<std::string> argv, const std::vector<std::string>& environment, int outputFd, int passFd) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  posix_spawn_file_actions_adddup2(&actions, devNull, 0);
  posix_spawn_file_actions_adddup2(&actions, outputFd >= 0 ? outputFd : devNull, 1);
  posix_spawn_file_actions_adddup2(&actions, outputFd >= 0 ? outputFd : devNull, 2);
  if (passFd >= 0) posix_spawn_file_actions_adddup2(&actions, passFd, 3);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // A process group of its own: a signal meant for the test runner does not reach it first.
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  auto env = childEnvironment(environment);
  auto envp = pointers(env);
  auto args = pointers(argv);
  pid_t pid = -1;
  if (::posix_spawn(&pid, args[0], &actions, &attributes, args.data(), envp.data()) != 0) pid = -1;
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (devNull >= 0) ::close(devNull);
  return pid;
}

}  // namespace

bool ChildProcess::start(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                         const std::string& outputPath, int passFd) {
  stop();
  int outputFd = -1;
  if (!outputPath.empty()) outputFd = ::open(outputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  pid_ = spawn(argv, environment, outputFd, passFd);
  if (outputFd >= 0) ::close(outputFd);
  return pid_ > 0;
}

bool ChildProcess::running() {
  if (pid_ <= 0) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    pid_ = -1;
    return false;
  }
  return true;
}

void ChildProcess::stop(double grace) {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  const auto deadline = Clock::now() + std::chrono::duration<double>(grace);
  int status = 0;
  while (::waitpid(pid_, &status, WNOHANG) == 0) {
    if (Clock::now() >= deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  pid_ = -1;
}

CommandResult runCommand(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                         double timeout) {
  CommandResult result;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return result;
  const pid_t pid = spawn(argv, environment, fds[1], -1);
  ::close(fds[1]);
  if (pid <= 0) {
    ::close(fds[0]);
    return result;
  }
  const auto deadline = Clock::now() + std::chrono::duration<double>(timeout);
  bool timedOut = false;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      timedOut = true;
      break;
    }
    struct pollfd fd {fds[0], POLLIN, 0};
    if (::poll(&fd, 1, static_cast<int>(left)) <= 0) continue;
    char buffer[4096];
    const ssize_t got = ::read(fds[0], buffer, sizeof buffer);
    if (got <= 0) break;
    result.output.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fds[0]);
  int status = 0;
  if (timedOut) ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  result.status = !timedOut && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

bool waitUntil(const std::function<bool()>& condition, double timeout) {
  const auto deadline = Clock::now() + std::chrono::duration<double>(timeout);
  for (;;) {
    if (condition()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
  }
}

}  // namespace quorvel::testing
