// Follows the screen's lock state: turns the system's lock, unlock, sleep and wake
// notifications into four callbacks, keeps its own belief of whether the screen is locked,
// and after a wake re-checks the session's real lock state a few times, since a wake does
// not always bring a fresh lock notification.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>

namespace quorvel {

class LockMonitor : public std::enable_shared_from_this<LockMonitor> {
 public:
  using Callback = std::function<void()>;

  static LockMonitor& shared();
  static std::shared_ptr<LockMonitor> sharedPointer();

  // Seconds after a wake at which the session's lock state is checked again.
  static constexpr std::array<double, 5> wakeRecheckDelays{0.0, 0.25, 0.6, 1.2, 2.0};

  // The monitor's own belief that the screen is locked.
  bool isLocked = false;
  // Bumped by every event that voids the pending wake re-checks.
  std::int64_t wakeReconciliationID = 0;
  Callback onLock;
  Callback onUnlock;
  Callback onWake;
  Callback onSleep;

  // Starts observing the notifications; called once, after the callbacks are set.
  void start();

  // Whether the login session's screen is locked right now. Callable from any thread.
  static bool isScreenActuallyLocked();

  // Lights the display (a display assertion created and released at once).
  void wakeDisplay();

 private:
  void screenLocked();
  void screenUnlocked();
  void screensSlept();
  void screensWoke();
  void scheduleWakeReconciliation();
};

}  // namespace quorvel
