#include "platform/events/events_linux.hpp"

#include "platform/dispatch/dispatch.hpp"
#include "platform/logind/login_session.hpp"
#include "platform/pam/pam.hpp"
#include "platform/secure/secure.hpp"

namespace platform::events {

namespace {

constexpr KeyCode kReturnKey = 36;

// Appends UTF-16 code units to UTF-8 text without leaving a copy behind: the text grows into
// a fresh buffer and the old one is wiped. An unpaired surrogate becomes U+FFFD.
void appendSecret(std::string& text, const std::u16string& units) {
  std::string grown;
  grown.reserve(text.size() + units.size() * 3 + 1);
  grown.append(text);
  for (std::size_t i = 0; i < units.size(); ++i) {
    std::uint32_t code = units[i];
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (units[i + 1] - 0xDC00);
      ++i;
    } else if (code >= 0xD800 && code <= 0xDFFF) {
      code = 0xFFFD;
    }
    if (code < 0x80) {
      grown.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      grown.push_back(static_cast<char>(0xC0 | (code >> 6)));
      grown.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      grown.push_back(static_cast<char>(0xE0 | (code >> 12)));
      grown.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      grown.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      grown.push_back(static_cast<char>(0xF0 | (code >> 18)));
      grown.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      grown.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      grown.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }
  secure::wipe(text);
  text.swap(grown);
}

}  // namespace

LinuxEvents::LinuxEvents() = default;

LinuxEvents::~LinuxEvents() {
  std::lock_guard<std::mutex> lock(mutex_);
  secure::wipe(field_);
}

void LinuxEvents::postToPid(std::int32_t pid, const KeyboardEvent& event) {
  if (!event.isKeyDown() || (event.flags() & (kEventFlagMaskCommand | kEventFlagMaskControl))) return;
  auto session = logind::LoginSession::shared();
  const auto screen = session->lockScreen();
  const auto identity = session->session();
  std::lock_guard<std::mutex> lock(mutex_);
  if (!screen || !screen->genuine || screen->pid != pid || !identity) {
    // A key that does not reach the lock screen breaks what is being typed: what came before
    // it is never checked as a password.
    secure::wipe(field_);
    return;
  }
  const std::uint64_t generation = session->lockGeneration();
  if (fieldGeneration_ != generation) {
    // What was typed under an earlier lock is gone.
    secure::wipe(field_);
    fieldGeneration_ = generation;
  }
  if (event.keyCode() != kReturnKey) {
    appendSecret(field_, event.unicodeString());
    return;
  }
  if (field_.empty()) {
    logind::sessionLog().log("Return pressed on the lock screen with nothing typed");
    return;
  }
  // The password leaves the field for the check, in a buffer wiped when the check is done
  // with it (however often the work holding it is copied).
  std::shared_ptr<std::string> password(new std::string(field_), [](std::string* text) {
    secure::wipe(*text);
    delete text;
  });
  secure::wipe(field_);
  if (!checks_) checks_ = dispatch::makeSerialQueue("com.tessmin.quorvel.lockscreen");
  const std::string user = identity->user;
  checks_->async([session, password, user, generation] {
    const auto verdict = pam::checkPassword(logind::kPamService, user, *password);
    secure::wipe(*password);
    switch (verdict) {
      case pam::Verdict::accepted:
        logind::sessionLog().info("The lock screen's password was accepted");
        session->unlock(generation);
        break;
      case pam::Verdict::refused:
        logind::sessionLog().log("The lock screen refused the password");
        break;
      case pam::Verdict::unavailable:
        logind::sessionLog().error("PAM could not check the lock screen's password (service %s)",
                                   std::string(logind::kPamService));
        break;
    }
  });
}

std::shared_ptr<EventSource> LinuxEvents::createSource(SourceStateID state) {
  return std::make_shared<EventSource>(state);
}

std::shared_ptr<KeyboardEvent> LinuxEvents::createKeyboardEvent(const EventSource*, KeyCode key, bool keyDown) {
  return std::make_shared<KeyboardEvent>(key, keyDown, kEventFlagMaskNonCoalesced);
}

}  // namespace platform::events
