// A desktop with a polkit agent, for one test: a private system bus (everyone may connect)
// with logind played by python3-dbusmock (one session, which logind names for every process)
// and the real polkitd; a private session bus, Xvfb and the accessibility bus
// (at-spi-bus-launcher); the agent stand-in (agent_dialog.cc) copied under a known agent's
// name. Children run as root or as the unprivileged user "nobody" (polkit grants root
// everything without asking, so whatever should meet the dialog runs as nobody). Every process
// is ended by its PID; everything lives in the test's folder, except the folder only root may
// write, which is made under /run and removed again.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/desktop_session.hpp"

namespace quorvel::testing {

inline constexpr uid_t kNobody = 65534;
inline constexpr const char* kAgentName = "polkit-kde-authentication-agent-1";

class AuthorizationDesktop {
 public:
  explicit AuthorizationDesktop(const std::string& folder);
  ~AuthorizationDesktop();

  // The system bus and logind, whose session belongs to `uid`; polkitd when `polkit`.
  bool startSystem(uid_t uid, bool polkit = true);
  bool setLocked(bool locked);
  // The session bus and Xvfb.
  bool startSession();
  // The accessibility bus, with accessibility turned on or off.
  bool startAccessibility(bool enabled);
  // Points this process's buses and display at these.
  void useInThisProcess() const;

  // Runs `argv` (as nobody when `asNobody`); its standard output goes to the file `log`.
  std::unique_ptr<ChildProcess> start(std::vector<std::string> argv, bool asNobody, const std::string& log);
  // The same, held before it runs its program until `release()`, so that its process
  // identifier is known first; its standard error goes to `log` + ".err".
  std::unique_ptr<ChildProcess> startHeld(std::vector<std::string> argv, bool asNobody, const std::string& log);
  void release();
  // The agent stand-in copied under a known agent's name, into a folder only root may write
  // or (`rootOnly` false) into the test's folder.
  std::string agent(bool rootOnly = true);

  std::string path(const std::string& name) const { return folder_ + "/" + name; }
  std::string display() const { return display_ ? display_->name() : ""; }

 private:
  std::vector<std::string> environment(bool asNobody) const;
  bool busCall(bool system, std::vector<std::string> arguments);
  bool waitForName(bool system, const std::string& name);

  std::string folder_, rootOnly_;
  std::unique_ptr<ChildProcess> systemBus_, sessionBus_, logind_, polkitd_, launcher_;
  std::unique_ptr<VirtualDisplay> display_;
};

// Printed lines without the authorization report's lines about security agents other than
// `pid` (other tests' agents may be running at the same time).
std::vector<std::string> linesAboutAgent(const std::vector<std::string>& lines, std::int64_t pid);
// The lines of a file (none when it cannot be read).
std::vector<std::string> fileLines(const std::string& path);
// Waits until the file holds `line` (at most `timeout` s).
bool fileHasLine(const std::string& path, const std::string& line, double timeout = 30);

}  // namespace quorvel::testing
