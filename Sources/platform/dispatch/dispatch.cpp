#include "platform/dispatch/dispatch.hpp"

#include <algorithm>
#include <cmath>
#include <chrono>
#include <mutex>

namespace platform::dispatch {

namespace detail {
namespace {
thread_local const Queue* tCurrentQueue = nullptr;
}
CurrentQueueGuard::CurrentQueueGuard(const Queue* queue) : previous_(tCurrentQueue) {
  tCurrentQueue = queue;
}
CurrentQueueGuard::~CurrentQueueGuard() { tCurrentQueue = previous_; }
const Queue* currentQueue() { return tCurrentQueue; }
}  // namespace detail

bool Queue::isCurrent() const { return detail::currentQueue() == this; }

namespace {
std::mutex gSchedulerMutex;
// Never destroyed: the queues' threads and the work still waiting on them may outlive every
// other static object of the process at exit.
std::shared_ptr<Scheduler>& installedScheduler() {
  static auto* scheduler = new std::shared_ptr<Scheduler>();
  return *scheduler;
}
}  // namespace

Scheduler& scheduler() {
  std::lock_guard<std::mutex> lock(gSchedulerMutex);
  auto& installed = installedScheduler();
  if (!installed) installed = makeRealScheduler();
  return *installed;
}

void install(std::shared_ptr<Scheduler> scheduler) {
  std::shared_ptr<Scheduler> previous;
  {
    std::lock_guard<std::mutex> lock(gSchedulerMutex);
    previous = std::move(installedScheduler());
    installedScheduler() = std::move(scheduler);
  }
  // `previous` is destroyed outside the lock: its queues may still hand work around.
}

Queue& mainQueue() { return *scheduler().mainQueue(); }
std::shared_ptr<Queue> makeSerialQueue(const std::string& label) {
  return scheduler().makeSerialQueue(label);
}
Queue& globalQueue(QoS qos) { return *scheduler().globalQueue(qos); }
std::unique_ptr<Ahead> startAhead(Work work) { return scheduler().startAhead(std::move(work)); }
double now() { return scheduler().now(); }
double currentDate() { return scheduler().currentDate(); }
bool isMainThread() { return scheduler().isMainThread(); }

int runMainLoop() { return scheduler().runMainLoop(nullptr, -1); }
bool runMainLoopUntil(const std::function<bool()>& condition, double timeout) {
  scheduler().runMainLoop(condition, timeout);
  return condition();
}
void stopMainLoop(int status) { scheduler().stopMainLoop(status); }
bool attachMainLoopPump(std::shared_ptr<MainLoopPump> pump) {
  return scheduler().attachMainLoopPump(std::move(pump));
}

// --- Timer ---------------------------------------------------------------------------------

Timer::Timer(double interval, bool repeats, Block block)
    : interval_(std::max(interval, 0.0001)),
      repeats_(repeats),
      block_(std::move(block)) {}

std::shared_ptr<Timer> Timer::scheduled(double interval, bool repeats, Block block) {
  auto timer = std::make_shared<Timer>(interval, repeats, std::move(block));
  timer->nextFire_ = now() + timer->interval_;
  timer->arm(timer->interval_);
  return timer;
}

void Timer::arm(double delay) {
  // The run loop keeps a scheduled timer alive until it is invalidated, as the platform does.
  auto self = shared_from_this();
  mainQueue().asyncAfter(delay, [self] { self->fire(); });
}

void Timer::fire() {
  if (!valid_.load()) return;
  if (!repeats_) valid_ = false;
  block_(*this);
  if (!repeats_ || !valid_.load()) return;
  // Fire on the original grid; fires missed while the loop was busy are skipped.
  const double current = now();
  nextFire_ += interval_;
  if (nextFire_ <= current) {
    const double missed = std::floor((current - nextFire_) / interval_) + 1;
    nextFire_ += missed * interval_;
  }
  arm(nextFire_ - current);
}

void Timer::invalidate() { valid_ = false; }
bool Timer::isValid() const { return valid_.load(); }

}  // namespace platform::dispatch
