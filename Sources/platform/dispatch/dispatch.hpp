// Queues, timers, clocks and the main run loop.
//
// Everything in the system that waits or hands work to another thread goes through this
// header. Two schedulers implement it: the real one (threads, the process's main loop) and
// the virtual one used by tests, where time only moves when the test advances it and every
// queue's work runs on the test thread in time order.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace platform::dispatch {

using Work = std::function<void()>;

// Quality-of-service classes of the global queues.
enum class QoS { Background, Utility, Default, UserInitiated, UserInteractive };

class Queue {
 public:
  virtual ~Queue() = default;
  // Runs `work` later on this queue.
  virtual void async(Work work) = 0;
  // Runs `work` on this queue no earlier than `seconds` from now (negative counts as 0).
  virtual void asyncAfter(double seconds, Work work) = 0;
  // Runs `work` on this queue and waits for it. Calling it from the queue itself runs the
  // work inline instead of deadlocking.
  virtual void sync(const Work& work) = 0;
  virtual const std::string& label() const = 0;
  // True while the calling thread is running work of this queue.
  bool isCurrent() const;
};

// A foreign event loop (a GUI toolkit's) that shares the main thread with the main queue.
// While one is attached, the main queue's work runs from inside that loop's event handling
// (so it also runs in the loop's nested runs, such as a modal dialog's), and the main loop
// waits in that loop instead of on its own.
class MainLoopPump {
 public:
  virtual ~MainLoopPump() = default;
  // Main thread, once: `drain` runs the main-queue work that is due and returns the seconds
  // until the next item is due (infinity when none is waiting).
  virtual void attach(std::function<double()> drain) = 0;
  // Any thread: work was posted or the loop was asked to stop; call `drain` soon.
  virtual void wake() = 0;
  // Main thread: handles the loop's events, waiting for at least one for at most `seconds`.
  virtual void processEvents(double seconds) = 0;
};

// Work started now whose end its starter waits for later, on its own thread: work that may run
// while the starter does something else. The real scheduler starts it at once on a thread of
// its own (or runs it on the waiting thread when no such thread has taken it yet); the virtual
// scheduler runs it on the waiting thread when it is first waited for, so a test sees the
// starter's own order. Work never waited for: the real scheduler's still runs to its end
// (destroying the handle waits for it); the virtual scheduler's never runs.
class Ahead {
 public:
  virtual ~Ahead() = default;
  // Returns once the work has ended; again at once.
  virtual void wait() = 0;
};

class Scheduler {
 public:
  virtual ~Scheduler() = default;
  virtual std::shared_ptr<Queue> mainQueue() = 0;
  virtual std::shared_ptr<Queue> makeSerialQueue(const std::string& label) = 0;
  virtual std::shared_ptr<Queue> globalQueue(QoS qos) = 0;
  virtual std::unique_ptr<Ahead> startAhead(Work work) = 0;
  // Monotonic seconds (arbitrary origin).
  virtual double now() = 0;
  // Wall-clock seconds since 2001-01-01 00:00:00 UTC.
  virtual double currentDate() = 0;
  virtual bool isMainThread() = 0;
  // Runs main-queue work until `stop` is called or, when `until` is given, until it returns
  // true, or until `timeout` seconds pass (negative: no limit). Returns the status given to
  // `stopMainLoop`, or -1 when the loop ended for another reason.
  virtual int runMainLoop(const std::function<bool()>& until, double timeout) = 0;
  virtual void stopMainLoop(int status) = 0;
  // Hands the main queue to a foreign event loop (see MainLoopPump). False when this
  // scheduler runs its main queue by itself only (the virtual one).
  virtual bool attachMainLoopPump(std::shared_ptr<MainLoopPump> pump) {
    (void)pump;
    return false;
  }
};

// The installed scheduler; the real one is created on first use unless one was installed.
Scheduler& scheduler();
void install(std::shared_ptr<Scheduler> scheduler);
std::shared_ptr<Scheduler> makeRealScheduler();

// Shorthands on the installed scheduler.
Queue& mainQueue();
std::shared_ptr<Queue> makeSerialQueue(const std::string& label);
Queue& globalQueue(QoS qos);
std::unique_ptr<Ahead> startAhead(Work work);

// A value made ahead (see `Ahead`): `get` waits for it.
template <typename T>
class AheadValue {
 public:
  explicit AheadValue(std::function<T()> make)
      : value_(std::make_shared<std::optional<T>>()),
        work_(startAhead([value = value_, make = std::move(make)] { value->emplace(make()); })) {}
  const T& get() {
    work_->wait();
    return **value_;
  }

 private:
  std::shared_ptr<std::optional<T>> value_;
  std::unique_ptr<Ahead> work_;
};
double now();
double currentDate();
bool isMainThread();

// Seconds between 1970-01-01 and 2001-01-01 (UTC).
inline constexpr double kSecondsFrom1970To2001 = 978307200.0;

// A timer on the main run loop. The block runs on the main queue; a repeating timer fires
// every `interval` seconds after its first fire until it is invalidated. Invalidation from
// any thread takes effect before the next fire.
class Timer : public std::enable_shared_from_this<Timer> {
 public:
  using Block = std::function<void(Timer&)>;
  static std::shared_ptr<Timer> scheduled(double interval, bool repeats, Block block);
  void invalidate();
  bool isValid() const;
  double interval() const { return interval_; }

  Timer(double interval, bool repeats, Block block);

 private:
  void arm(double delay);
  void fire();

  double interval_;
  bool repeats_;
  Block block_;
  double nextFire_ = 0;
  std::atomic<bool> valid_{true};
};

// Runs the main loop (see Scheduler::runMainLoop).
int runMainLoop();
// Runs the main loop until `condition` holds or `timeout` passes; returns whether it held.
bool runMainLoopUntil(const std::function<bool()>& condition, double timeout);
void stopMainLoop(int status);
bool attachMainLoopPump(std::shared_ptr<MainLoopPump> pump);

namespace detail {
// Marks `queue` as the current queue of this thread for the lifetime of the guard.
class CurrentQueueGuard {
 public:
  explicit CurrentQueueGuard(const Queue* queue);
  ~CurrentQueueGuard();
  CurrentQueueGuard(const CurrentQueueGuard&) = delete;
  CurrentQueueGuard& operator=(const CurrentQueueGuard&) = delete;

 private:
  const Queue* previous_;
};
const Queue* currentQueue();
}  // namespace detail

}  // namespace platform::dispatch
