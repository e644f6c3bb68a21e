// The simulated keyboard events of the tests' machine.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/events/events.hpp"

namespace platform::events {

// Records every posted event and hands it, later on the main queue, to the delivery handler
// (the simulated receiving process). Creation failures and held modifiers are scriptable.
class SimulatedEvents : public Events {
 public:
  struct Posted {
    std::int32_t pid;
    KeyboardEvent event;
  };
  using Delivery = std::function<void(std::int32_t pid, const KeyboardEvent& event)>;

  std::shared_ptr<EventSource> createSource(SourceStateID state) override;
  std::shared_ptr<KeyboardEvent> createKeyboardEvent(const EventSource* source, KeyCode key,
                                                     bool keyDown) override;
  void postToPid(std::int32_t pid, const KeyboardEvent& event) override;

  void setDelivery(Delivery delivery);
  void setSourceCreationFails(bool fails);
  // The `index`-th keyboard event created from now on (1 = the next) fails; none: no failure.
  void setKeyboardEventCreationFailsAt(std::optional<int> index);
  // Modifier flags new events start with (as if keys were held).
  void setModifierState(EventFlags flags);
  std::vector<Posted> posted() const;
  std::size_t sourcesCreated() const;
  std::vector<SourceStateID> sourceStates() const;

 private:
  mutable std::mutex mutex_;
  Delivery delivery_;
  bool sourceFails_ = false;
  std::optional<int> failAt_;
  int createdSinceFailSet_ = 0;
  EventFlags modifiers_ = 0;
  std::vector<Posted> posted_;
  std::vector<SourceStateID> sourceStates_;
};

}  // namespace platform::events
