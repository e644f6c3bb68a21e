#include "unlock/lock_monitor.hpp"

#include <variant>

#include "foundation/log.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "platform/notifications/notifications.hpp"
#include "platform/power/power.hpp"
#include "platform/shared.hpp"
#include "platform/windowserver/session.hpp"

namespace quorvel {

namespace {
platform::SharedInstance<LockMonitor>& instance() {
  static platform::SharedInstance<LockMonitor> shared;
  return shared;
}
}  // namespace

LockMonitor& LockMonitor::shared() { return instance().get(); }
std::shared_ptr<LockMonitor> LockMonitor::sharedPointer() { return instance().pointer(); }

void LockMonitor::start() {
  namespace notes = platform::notifications;
  std::weak_ptr<LockMonitor> weak = weak_from_this();
  // The centres do not keep the monitor alive; a handler that outlives it does nothing.
  auto handler = [weak](void (LockMonitor::*member)()) {
    return [weak, member](const std::string&) {
      if (auto monitor = weak.lock()) ((*monitor).*member)();
    };
  };
  auto distributed = notes::distributedCenter();
  distributed->addObserver(notes::kScreenIsLocked, handler(&LockMonitor::screenLocked));
  distributed->addObserver(notes::kScreenIsUnlocked, handler(&LockMonitor::screenUnlocked));
  auto workspace = notes::workspaceCenter();
  workspace->addObserver(notes::kScreensDidSleep, handler(&LockMonitor::screensSlept));
  workspace->addObserver(notes::kScreensDidWake, handler(&LockMonitor::screensWoke));
}

void LockMonitor::screenLocked() {
  if (isLocked) return;
  wakeReconciliationID += 1;
  isLocked = true;
  Log::unlock().info("Screen locked");
  if (onLock) onLock();
}

void LockMonitor::screenUnlocked() {
  wakeReconciliationID += 1;
  if (!isLocked) return;
  isLocked = false;
  Log::unlock().info("Screen unlocked");
  if (onUnlock) onUnlock();
}

void LockMonitor::screensSlept() {
  wakeReconciliationID += 1;
  if (onSleep) onSleep();
}

void LockMonitor::screensWoke() {
  Log::unlock().info("Screens woke");
  scheduleWakeReconciliation();
}

void LockMonitor::scheduleWakeReconciliation() {
  wakeReconciliationID += 1;
  const std::int64_t token = wakeReconciliationID;
  std::weak_ptr<LockMonitor> weak = weak_from_this();
  for (double delay : wakeRecheckDelays) {
    platform::dispatch::mainQueue().asyncAfter(delay, [weak, token] {
      auto monitor = weak.lock();
      if (!monitor || monitor->wakeReconciliationID != token || !isScreenActuallyLocked()) return;
      monitor->isLocked = true;
      if (monitor->onWake) monitor->onWake();
    });
  }
}

bool LockMonitor::isScreenActuallyLocked() {
  auto dictionary = platform::windowserver::sessionSource()->copyCurrentDictionary();
  if (!dictionary) return false;
  auto found = dictionary->find(platform::windowserver::kSessionScreenIsLockedKey);
  if (found == dictionary->end()) return false;
  if (const bool* locked = std::get_if<bool>(&found->second)) return *locked;
  return false;
}

void LockMonitor::wakeDisplay() {
  auto power = platform::power::current();
  platform::power::AssertionID assertion = 0;
  const auto result = power->createAssertionWithName(platform::power::kAssertionTypeNoDisplaySleep,
                                                     platform::power::kAssertionLevelOn,
                                                     "Quorvel face unlock", &assertion);
  if (result == platform::power::kIOReturnSuccess) power->releaseAssertion(assertion);
}

}  // namespace quorvel
