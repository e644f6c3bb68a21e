// Synthetic keyboard events: an event source, key-down and key-up events for a virtual key
// that may carry a Unicode string (UTF-16 code units) and modifier flags, and posting an
// event to one process's event queue.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace platform::events {

using KeyCode = std::uint16_t;
using EventFlags = std::uint64_t;

enum class SourceStateID : std::int32_t { privateState = -1, combinedSessionState = 0, hidSystemState = 1 };

inline constexpr EventFlags kEventFlagMaskAlphaShift = 0x00010000;
inline constexpr EventFlags kEventFlagMaskShift = 0x00020000;
inline constexpr EventFlags kEventFlagMaskControl = 0x00040000;
inline constexpr EventFlags kEventFlagMaskAlternate = 0x00080000;
inline constexpr EventFlags kEventFlagMaskCommand = 0x00100000;
inline constexpr EventFlags kEventFlagMaskNonCoalesced = 0x00000100;

class EventSource {
 public:
  explicit EventSource(SourceStateID state) : state_(state) {}
  SourceStateID state() const { return state_; }

 private:
  SourceStateID state_;
};

class KeyboardEvent {
 public:
  KeyboardEvent(KeyCode key, bool keyDown, EventFlags flags) : key_(key), keyDown_(keyDown), flags_(flags) {}

  KeyCode keyCode() const { return key_; }
  bool isKeyDown() const { return keyDown_; }
  EventFlags flags() const { return flags_; }
  void setFlags(EventFlags flags) { flags_ = flags; }
  // Replaces the event's string by the first `length` code units of `units`.
  void setUnicodeString(std::size_t length, const char16_t* units);
  const std::u16string& unicodeString() const { return unicode_; }
  std::size_t unicodeStringSetCount() const { return unicodeSets_; }

 private:
  KeyCode key_;
  bool keyDown_;
  EventFlags flags_;
  std::u16string unicode_;
  std::size_t unicodeSets_ = 0;
};

class Events {
 public:
  virtual ~Events() = default;
  // No value when the source cannot be made.
  virtual std::shared_ptr<EventSource> createSource(SourceStateID state) = 0;
  // No value when the event cannot be made. New events carry the source's modifier state.
  virtual std::shared_ptr<KeyboardEvent> createKeyboardEvent(const EventSource* source, KeyCode key,
                                                             bool keyDown) = 0;
  virtual void postToPid(std::int32_t pid, const KeyboardEvent& event) = 0;
};

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

// Linux: sources and events are made, but nothing carries an event into another process's
// queue, so a post reaches no one.
class LinuxEvents : public Events {
 public:
  std::shared_ptr<EventSource> createSource(SourceStateID state) override;
  std::shared_ptr<KeyboardEvent> createKeyboardEvent(const EventSource* source, KeyCode key,
                                                     bool keyDown) override;
  void postToPid(std::int32_t, const KeyboardEvent&) override {}
};

std::shared_ptr<Events> current();
void install(std::shared_ptr<Events> events);

}  // namespace platform::events
