// Programs a test starts: with the test's environment minus its preloads (pam_wrapper stays
// in the test process) plus settings of the test's choosing, output to a file, and ended by
// their own process identifier, never left running.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quorvel::testing {

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess() { stop(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts `argv` (argv[0] a path). `environment` adds or replaces "NAME=value" settings;
  // standard output and error go to `outputPath` (appended; nowhere when empty); `passFd`,
  // when given, becomes the child's descriptor 3.
  bool start(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {},
             const std::string& outputPath = "", int passFd = -1);
  pid_t pid() const { return pid_; }
  bool running();
  // Asks the child to end, waits up to `grace` seconds, then kills it; always reaps it.
  void stop(double grace = 3.0);

 private:
  pid_t pid_ = -1;
};

struct CommandResult {
  int status = -1;  // the exit status; -1 when the command did not end by itself in time
  std::string output;
};
// Runs a command to its end (killed after `timeout` seconds) and returns its standard output.
CommandResult runCommand(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {},
                         double timeout = 10);

// Waits until `condition` holds, checking every few milliseconds, for at most `timeout` seconds.
bool waitUntil(const std::function<bool()>& condition, double timeout);

}  // namespace quorvel::testing
