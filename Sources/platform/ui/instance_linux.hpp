// The application's one instance in the user's session, kept on the session bus (sd-bus): the
// first start owns the name "com.tessmin.quorvel" and serves the standard application
// interface (org.freedesktop.Application, its Activate) at /com/tessmin/quorvel; a later start
// finds the name owned, calls Activate on its owner and ends. Without a session bus nothing can
// tell: the start runs as the application.
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

  // Takes the name, or hands over to its owner; waits at most `timeout` seconds for the bus.
  InstanceClaim claim(double timeout = 10);

  struct State;

 private:
  std::shared_ptr<State> state_;
  std::unique_ptr<dbus::Connection> connection_;
};

}  // namespace platform::ui
