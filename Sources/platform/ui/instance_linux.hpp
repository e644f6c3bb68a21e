// The application's one instance in the user's session, kept on the session bus (sd-bus): the
// first start owns the name "com.tessmin.quorvel" and serves the standard application
// interface (org.freedesktop.Application, its Activate) at /com/tessmin/quorvel; a later start
// finds the name owned, calls Activate on its owner and ends; when the owner does not answer
// (it may just have quit) the name is asked for once more. Without a session bus nothing can
// tell: the start runs as the application, and takes the name once a bus connects.
#pragma once

#include <functional>
#include <memory>

#include "platform/ui/application.hpp"

namespace platform::dbus {
class Connection;
}

namespace platform::ui {

class SessionInstance {
 public:
  static constexpr const char* busName = "com.tessmin.quorvel";
  static constexpr const char* objectPath = "/com/tessmin/quorvel";

  // `activated` runs on the main queue at every Activate, once this process owns the name.
  explicit SessionInstance(std::function<void()> activated);
  ~SessionInstance();
  SessionInstance(const SessionInstance&) = delete;
  SessionInstance& operator=(const SessionInstance&) = delete;

  // How long each call of the claim waits for its answer.
  static constexpr double callLimit = 5;

  // Takes the name, or hands over to its owner; waits at most `timeout` seconds for the bus
  // (by default a margin above its longest road: the name asked for, Activate, the name
  // asked for again when the owner did not answer).
  InstanceClaim claim(double timeout = 3 * callLimit + 2);

  struct State;

 private:
  std::shared_ptr<State> state_;
  std::unique_ptr<dbus::Connection> connection_;
};

}  // namespace platform::ui
