// Synthetic keyboard events: an event source, key-down and key-up events for a virtual key
// that may carry a Unicode string (UTF-16 code units) and modifier flags, and posting an
// event to one process's event queue.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

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

// An event's string may carry a password: every copy of it is wiped when the event lets it go
// (replaced, assigned over or destroyed).
class KeyboardEvent {
 public:
  KeyboardEvent(KeyCode key, bool keyDown, EventFlags flags) : key_(key), keyDown_(keyDown), flags_(flags) {}
  KeyboardEvent(const KeyboardEvent& other) = default;
  KeyboardEvent(KeyboardEvent&& other) noexcept;
  KeyboardEvent& operator=(const KeyboardEvent& other);
  KeyboardEvent& operator=(KeyboardEvent&& other) noexcept;
  ~KeyboardEvent();

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

std::shared_ptr<Events> current();
void install(std::shared_ptr<Events> events);

}  // namespace platform::events
