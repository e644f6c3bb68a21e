#include "platform/events/events.hpp"

#include <mutex>

#include "platform/events/events_linux.hpp"
#include "platform/secure/secure.hpp"

namespace platform::events {

KeyboardEvent::KeyboardEvent(KeyboardEvent&& other) noexcept
    : key_(other.key_),
      keyDown_(other.keyDown_),
      flags_(other.flags_),
      unicode_(std::move(other.unicode_)),
      unicodeSets_(other.unicodeSets_) {
  // A short string is copied out of the moved-from event's own storage, not taken over.
  secure::wipe(other.unicode_);
}

KeyboardEvent& KeyboardEvent::operator=(const KeyboardEvent& other) {
  if (this == &other) return *this;
  secure::wipe(unicode_);
  key_ = other.key_;
  keyDown_ = other.keyDown_;
  flags_ = other.flags_;
  unicode_ = other.unicode_;
  unicodeSets_ = other.unicodeSets_;
  return *this;
}

KeyboardEvent& KeyboardEvent::operator=(KeyboardEvent&& other) noexcept {
  if (this == &other) return *this;
  secure::wipe(unicode_);
  key_ = other.key_;
  keyDown_ = other.keyDown_;
  flags_ = other.flags_;
  unicode_ = std::move(other.unicode_);
  unicodeSets_ = other.unicodeSets_;
  secure::wipe(other.unicode_);
  return *this;
}

KeyboardEvent::~KeyboardEvent() { secure::wipe(unicode_); }

void KeyboardEvent::setUnicodeString(std::size_t length, const char16_t* units) {
  // The old string is wiped before the new one may take another buffer.
  secure::wipe(unicode_);
  unicode_.assign(units ? units : u"", units ? length : 0);
  ++unicodeSets_;
}

namespace {
std::mutex installedMutex;
std::shared_ptr<Events>& installed() {
  static std::shared_ptr<Events> events;
  return events;
}
}  // namespace

std::shared_ptr<Events> current() {
  std::lock_guard<std::mutex> lock(installedMutex);
  if (!installed()) installed() = std::make_shared<LinuxEvents>();
  return installed();
}

void install(std::shared_ptr<Events> events) {
  std::lock_guard<std::mutex> lock(installedMutex);
  installed() = std::move(events);
}

}  // namespace platform::events
