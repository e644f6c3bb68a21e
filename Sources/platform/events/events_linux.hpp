// Synthetic keyboard events on Linux: typing into our own lock screen.
#pragma once

#include <mutex>

#include "platform/events/events.hpp"

namespace platform::dispatch {
class Queue;
}

namespace platform::events {

// Linux: nothing carries an event into another process's queue, except to the genuine lock
// screen of our locked login session (platform/logind/login_session.hpp), whose events are
// read here the way the lock screen reads them: the text of each key-down goes into its
// password field, Return submits the field. A submitted password is checked off the main
// thread with PAM (service "quorvel", the session's user) and goes nowhere else; only when
// PAM accepts it is logind asked to unlock our session, and only if the session has not
// locked or unlocked again meanwhile. Key-ups, events with Command or Control held, and every
// post to another process reach no one. The field is wiped when it is submitted or the
// session's lock changes, and every copy of the password is wiped before it is released.
class LinuxEvents : public Events {
 public:
  LinuxEvents();
  ~LinuxEvents() override;
  std::shared_ptr<EventSource> createSource(SourceStateID state) override;
  std::shared_ptr<KeyboardEvent> createKeyboardEvent(const EventSource* source, KeyCode key,
                                                     bool keyDown) override;
  void postToPid(std::int32_t pid, const KeyboardEvent& event) override;

 private:
  std::mutex mutex_;
  std::string field_;  // UTF-8
  std::uint64_t fieldGeneration_ = 0;
  std::shared_ptr<dispatch::Queue> checks_;
};

}  // namespace platform::events
