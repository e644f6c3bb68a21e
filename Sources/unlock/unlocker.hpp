// Types the saved login password into the verified login window: checks the Accessibility
// permission, captures the login-window target, wakes the display, and after a moment posts
// one key event that carries the whole password, then Return, and finally reports whether
// the screen really unlocked. Before every post it re-checks that the request is still
// current and the target still the same focused process. At most one request is pending.
// Everything here runs on the main thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/uuid/uuid.hpp"
#include "unlock/login_window_target.hpp"

namespace quorvel {

class Unlocker {
 public:
  Unlocker() = delete;

  // Why a request did not unlock; each carries the text shown to the user.
  enum class Failure {
    noAccessibility,
    noPassword,
    eventSourceFailed,
    lockScreenNotFocused,
    cancelled,
    notUnlocked,
  };

  // Success, or a failure.
  struct Result {
    std::optional<Failure> failure;

    static Result success() { return Result{}; }
    static Result failed(Failure failure) { return Result{failure}; }
    bool succeeded() const { return !failure.has_value(); }
    friend bool operator==(const Result&, const Result&) = default;
  };

  using Completion = std::function<void(Result)>;

  // Timing and keys of the typing sequence.
  static constexpr double firstDelay = 0.35;
  static constexpr double returnDelay = 0.04;
  static constexpr double confirmationDelay = 0.9;
  static constexpr std::uint16_t passwordKey = 0;
  static constexpr std::uint16_t returnKey = 36;

  // Whether this process is trusted for Accessibility.
  static bool hasAccessibility();
  // Asks the system to prompt the user for the Accessibility permission.
  static void requestAccessibility();
  // Whether a verified login window has the focus now.
  static bool lockScreenHasFocus();

  // Starts a request. The completion is called exactly once, on the main thread: inside the
  // call when the request fails at once, later otherwise. A pending request is cancelled
  // first.
  static void unlock(Completion completion);
  // Ends the pending request, if any, with `cancelled` (its completion runs inside the call).
  static void cancelPendingUnlock();

 private:
  using UUID = platform::uuid::UUID;
  using Target = std::shared_ptr<const LoginWindowTarget>;

  static void finish(const UUID& id, Result result);
  static bool ready(const UUID& id, const LoginWindowTarget& target);
  static void typePassword(const UUID& id, const Target& target);
};

// The user-facing text of a failure, and the failure of an exact text.
std::string_view rawValue(Unlocker::Failure failure);
namespace unlocker_failure {
std::optional<Unlocker::Failure> fromRawValue(std::string_view text);
inline constexpr Unlocker::Failure allCases[] = {
    Unlocker::Failure::noAccessibility,      Unlocker::Failure::noPassword,
    Unlocker::Failure::eventSourceFailed,    Unlocker::Failure::lockScreenNotFocused,
    Unlocker::Failure::cancelled,            Unlocker::Failure::notUnlocked,
};
}  // namespace unlocker_failure

}  // namespace quorvel

template <>
struct std::hash<quorvel::Unlocker::Failure> {
  std::size_t operator()(quorvel::Unlocker::Failure failure) const noexcept {
    return std::hash<std::string_view>()(quorvel::rawValue(failure));
  }
};
