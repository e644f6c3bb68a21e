// A desktop with a polkit agent, for one test: a private system bus (open to every user) with
// logind played by python3-dbusmock (one session, named for every process) and the real
// polkitd; a private session bus, Xvfb and at-spi-bus-launcher; the agent stand-in
// (agent_dialog.cc) copied under a known agent's name. Children run as root or as "nobody"
// (polkit grants root everything without asking). Every process is ended by its PID; all
// lives in the test's folder but the folder only root may write, made under /run and removed.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/desktop_session.hpp"

namespace quorvel::testing {

inline constexpr uid_t kNobody = 65534;

class AuthorizationDesktop {
 public:
  explicit AuthorizationDesktop(const std::string& folder);
  ~AuthorizationDesktop();

  // The system bus and logind, whose session is of `uid`; polkitd when `polkit`.
  bool startSystem(uid_t uid, bool polkit = true);
  bool startPolkit();
  bool setLocked(bool locked);
  bool startSession();  // the session bus and Xvfb
  bool startAccessibility(bool enabled);
  void useInThisProcess() const;  // this process's buses and display

  // Runs `argv` (as nobody when asked); its standard output goes to the file `log`.
  std::unique_ptr<ChildProcess> start(std::vector<std::string> argv, bool asNobody, const std::string& log);
  // The same, held before its program runs until `release()` (so that its process identifier
  // is known first); its standard error goes to `log` + ".err".
  std::unique_ptr<ChildProcess> startHeld(std::vector<std::string> argv, bool asNobody, const std::string& log);
  void release();
  // The agent stand-in under a known agent's name, in a folder only root may write or
  // (`rootOnly` false) in the test's folder.
  std::string agent(bool rootOnly = true);

  std::string path(const std::string& name) const { return folder_ + "/" + name; }
  std::string display() const { return display_ ? display_->name() : ""; }

 private:
  std::vector<std::string> environment(bool asNobody) const;
  bool call(bool system, std::vector<std::string> arguments, std::string* reply = nullptr);
  bool waitForName(bool system, const std::string& name);

  std::string folder_, rootOnly_;
  std::unique_ptr<ChildProcess> systemBus_, sessionBus_, logind_, polkitd_, launcher_;
  std::unique_ptr<VirtualDisplay> display_;
};

// Printed lines without the report's lines about security agents other than `pid` (other
// tests' agents may be running at the same time).
std::vector<std::string> linesAboutAgent(const std::vector<std::string>& lines, std::int64_t pid);
std::vector<std::string> fileLines(const std::string& path);
// Waits until the file holds `line` (at most `timeout` s).
bool fileHasLine(const std::string& path, const std::string& line, double timeout = 30);

}  // namespace quorvel::testing
