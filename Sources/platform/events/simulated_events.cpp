#include "platform/events/simulated_events.hpp"

#include "platform/dispatch/dispatch.hpp"

namespace platform::events {

std::shared_ptr<EventSource> SimulatedEvents::createSource(SourceStateID state) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (sourceFails_) return nullptr;
  sourceStates_.push_back(state);
  return std::make_shared<EventSource>(state);
}

std::shared_ptr<KeyboardEvent> SimulatedEvents::createKeyboardEvent(const EventSource* source, KeyCode key,
                                                                    bool keyDown) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++createdSinceFailSet_;
  if (failAt_ && *failAt_ == createdSinceFailSet_) return nullptr;
  // Events of a private source start from no held modifiers of the session, but the
  // simulated machine can say otherwise; the non-coalesced bit is always there.
  EventFlags flags = kEventFlagMaskNonCoalesced | modifiers_;
  (void)source;
  return std::make_shared<KeyboardEvent>(key, keyDown, flags);
}

void SimulatedEvents::postToPid(std::int32_t pid, const KeyboardEvent& event) {
  Delivery delivery;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    posted_.push_back({pid, event});
    delivery = delivery_;
  }
  if (delivery) {
    dispatch::mainQueue().async([delivery, pid, event] { delivery(pid, event); });
  }
}

void SimulatedEvents::setDelivery(Delivery delivery) {
  std::lock_guard<std::mutex> lock(mutex_);
  delivery_ = std::move(delivery);
}

void SimulatedEvents::setSourceCreationFails(bool fails) {
  std::lock_guard<std::mutex> lock(mutex_);
  sourceFails_ = fails;
}

void SimulatedEvents::setKeyboardEventCreationFailsAt(std::optional<int> index) {
  std::lock_guard<std::mutex> lock(mutex_);
  failAt_ = index;
  createdSinceFailSet_ = 0;
}

void SimulatedEvents::setModifierState(EventFlags flags) {
  std::lock_guard<std::mutex> lock(mutex_);
  modifiers_ = flags;
}

std::vector<SimulatedEvents::Posted> SimulatedEvents::posted() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return posted_;
}

std::size_t SimulatedEvents::sourcesCreated() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sourceStates_.size();
}

std::vector<SourceStateID> SimulatedEvents::sourceStates() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sourceStates_;
}

}  // namespace platform::events
