#include "unlock/unlocker.hpp"

#include <algorithm>
#include <memory>

#include "foundation/log.hpp"
#include "foundation/password_vault.hpp"
#include "platform/accessibility/accessibility.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "platform/events/events.hpp"
#include "platform/secure/secure.hpp"
#include "platform/shared.hpp"
#include "unlock/lock_monitor.hpp"

namespace quorvel {

std::string_view rawValue(Unlocker::Failure failure) {
  switch (failure) {
    case Unlocker::Failure::noAccessibility: return "Accessibility permission is off";
    case Unlocker::Failure::noPassword: return "No password saved";
    case Unlocker::Failure::eventSourceFailed: return "Could not create an input event";
    case Unlocker::Failure::lockScreenNotFocused:
      return "Could not confirm the lock screen was ready; nothing more was typed";
    case Unlocker::Failure::cancelled: return "Unlock attempt cancelled";
    case Unlocker::Failure::notUnlocked: return "Unlock not confirmed; use Touch ID or your password";
  }
  return "";
}

std::optional<Unlocker::Failure> unlocker_failure::fromRawValue(std::string_view text) {
  for (auto failure : allCases) {
    if (rawValue(failure) == text) return failure;
  }
  return std::nullopt;
}

namespace {

// The pending request. Kept as a shared instance so that a fresh process state starts with
// no request.
struct UnlockerState {
  std::optional<platform::uuid::UUID> requestID;
  Unlocker::Completion pendingCompletion;
};

UnlockerState& state() {
  static platform::SharedInstance<UnlockerState> instance;
  return instance.get();
}

// The UTF-16 code units of UTF-8 text; characters outside the Basic Multilingual Plane
// become surrogate pairs. Ill-formed bytes become U+FFFD.
std::u16string utf16(const std::string& text) {
  std::u16string units;
  units.reserve(text.size());
  std::size_t i = 0;
  const std::size_t n = text.size();
  auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
  while (i < n) {
    const unsigned char lead = byte(i);
    std::uint32_t code = 0xFFFD;
    std::size_t length = 1;
    std::uint32_t minimum = 0;
    if (lead < 0x80) {
      code = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2, code = lead & 0x1F, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3, code = lead & 0x0F, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4, code = lead & 0x07, minimum = 0x10000;
    } else {
      length = 0;  // a stray byte
    }
    if (length > 1) {
      bool wellFormed = i + length <= n;
      for (std::size_t k = 1; wellFormed && k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
          wellFormed = false;
        } else {
          code = (code << 6) | (byte(i + k) & 0x3F);
        }
      }
      if (!wellFormed || code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        code = 0xFFFD;
        length = 1;
      }
    } else if (length == 0) {
      code = 0xFFFD;
      length = 1;
    }
    if (code >= 0x10000) {
      code -= 0x10000;
      units.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      units.push_back(static_cast<char16_t>(code));
    }
    i += length;
  }
  return units;
}

// Overwrites a secret before its memory is given back (in a way the compiler keeps).
template <class String>
void wipe(String& secret) {
  platform::secure::wipe(secret);
}

}  // namespace

bool Unlocker::hasAccessibility() { return platform::accessibility::current()->isProcessTrusted(); }

void Unlocker::requestAccessibility() {
  (void)platform::accessibility::current()->isProcessTrustedWithOptions(true);
}

bool Unlocker::lockScreenHasFocus() { return LoginWindowTarget::capture() != nullptr; }

void Unlocker::finish(const UUID& id, Result result) {
  auto& current = state();
  if (!current.requestID || *current.requestID != id) return;
  Completion completion = std::move(current.pendingCompletion);
  current.requestID.reset();
  current.pendingCompletion = nullptr;
  if (completion) completion(result);
}

bool Unlocker::ready(const UUID& id, const LoginWindowTarget& target) {
  if (!state().requestID || *state().requestID != id) return false;
  if (target.isReady()) return true;
  Log::unlock().log("Login target changed; cancelling pending input");
  finish(id, Result::failed(Failure::lockScreenNotFocused));
  return false;
}

void Unlocker::unlock(Completion completion) {
  if (state().requestID) {
    const UUID pending = *state().requestID;
    finish(pending, Result::failed(Failure::cancelled));
  }
  if (!platform::accessibility::current()->isProcessTrusted()) {
    if (completion) completion(Result::failed(Failure::noAccessibility));
    return;
  }
  Target target = LoginWindowTarget::capture();
  if (!target) {
    if (completion) completion(Result::failed(Failure::lockScreenNotFocused));
    return;
  }
  const UUID id;
  state().requestID = id;
  state().pendingCompletion = std::move(completion);
  LockMonitor::shared().wakeDisplay();
  platform::dispatch::mainQueue().asyncAfter(firstDelay, [id, target] { typePassword(id, target); });
}

// Step A: the password as one key event, then (step B) Return, then (step C) the check.
void Unlocker::typePassword(const UUID& id, const Target& target) {
  namespace ev = platform::events;
  if (!ready(id, *target)) return;
  std::optional<std::string> password = PasswordVault::read();
  if (!password) {
    finish(id, Result::failed(Failure::noPassword));
    return;
  }
  std::u16string units = utf16(*password);
  wipe(*password);
  password.reset();

  auto events = ev::current();
  auto source = events->createSource(ev::SourceStateID::privateState);
  std::shared_ptr<ev::KeyboardEvent> passwordDown, passwordUp, returnDown, returnUp;
  if (source) {
    passwordDown = events->createKeyboardEvent(source.get(), passwordKey, true);
    if (passwordDown) passwordUp = events->createKeyboardEvent(source.get(), passwordKey, false);
    if (passwordUp) returnDown = events->createKeyboardEvent(source.get(), returnKey, true);
    if (returnDown) returnUp = events->createKeyboardEvent(source.get(), returnKey, false);
  }
  if (!source || !passwordDown || !passwordUp || !returnDown || !returnUp) {
    wipe(units);
    finish(id, Result::failed(Failure::eventSourceFailed));
    return;
  }
  passwordDown->setUnicodeString(units.size(), units.data());
  wipe(units);
  for (const auto& event : {passwordDown, passwordUp, returnDown, returnUp}) event->setFlags(0);

  if (!ready(id, *target)) return;  // nothing has been posted
  events->postToPid(target->pid, *passwordDown);
  events->postToPid(target->pid, *passwordUp);
  // The event carrying the password goes when this step ends; only the Return pair is kept.
  passwordDown.reset();

  platform::dispatch::mainQueue().asyncAfter(returnDelay, [id, target, returnDown, returnUp] {
    if (!ready(id, *target)) return;  // the password was posted, Return is not
    auto events = ev::current();
    events->postToPid(target->pid, *returnDown);
    events->postToPid(target->pid, *returnUp);
    platform::dispatch::mainQueue().asyncAfter(confirmationDelay, [id] {
      if (!state().requestID || *state().requestID != id) return;
      finish(id, LockMonitor::isScreenActuallyLocked() ? Result::failed(Failure::notUnlocked) : Result::success());
    });
  });
}

void Unlocker::cancelPendingUnlock() {
  if (!state().requestID) return;
  const UUID pending = *state().requestID;
  finish(pending, Result::failed(Failure::cancelled));
}

}  // namespace quorvel
