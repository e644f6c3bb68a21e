// The real scheduler: the main queue is drained by the thread that runs the main loop, each
// serial queue owns one thread, and the global queues share a small pool of threads.
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <limits>
#include <map>
#include <mutex>
#include <queue>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch.hpp"

namespace platform::dispatch {
namespace {

using Clock = std::chrono::steady_clock;

double monotonicSeconds() {
  return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

// A queue of timed work, drained by its own worker threads or by a caller's loop.
class TimedWork {
 public:
  struct Item {
    Clock::time_point due;
    unsigned long long sequence;
    Work work;
  };

  void post(Clock::time_point due, Work work) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      items_.push(Item{due, next_++, std::move(work)});
    }
    changed_.notify_all();
  }

  // Waits for the next due item until `deadline` or until stopped; empty when none is due.
  bool take(Work& out, Clock::time_point deadline, const std::function<bool()>& interrupted) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (interrupted && interrupted()) return false;
      const auto current = Clock::now();
      if (!items_.empty() && items_.top().due <= current) {
        out = std::move(const_cast<Item&>(items_.top()).work);
        items_.pop();
        return true;
      }
      // A stopped list still hands out what was already due, then ends.
      if (stopped_) return false;
      auto wakeAt = deadline;
      if (!items_.empty() && items_.top().due < wakeAt) wakeAt = items_.top().due;
      if (current >= deadline) return false;
      changed_.wait_until(lock, wakeAt);
    }
  }

  // The first item that is due now, without waiting.
  bool takeDue(Work& out) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (items_.empty() || items_.top().due > Clock::now()) return false;
    out = std::move(const_cast<Item&>(items_.top()).work);
    items_.pop();
    return true;
  }

  // Seconds until the earliest item is due (0 when one is due, infinity when none waits).
  double secondsToNext() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (items_.empty()) return std::numeric_limits<double>::infinity();
    return std::max(0.0, std::chrono::duration<double>(items_.top().due - Clock::now()).count());
  }

  void wake() { changed_.notify_all(); }

  void stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopped_ = true;
    }
    changed_.notify_all();
  }

 private:
  struct Later {
    bool operator()(const Item& a, const Item& b) const {
      if (a.due != b.due) return a.due > b.due;
      return a.sequence > b.sequence;
    }
  };
  std::mutex mutex_;
  std::condition_variable changed_;
  std::priority_queue<Item, std::vector<Item>, Later> items_;
  unsigned long long next_ = 0;
  bool stopped_ = false;
};

Clock::time_point dueIn(double seconds) {
  if (!(seconds > 0)) return Clock::now();
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double>(std::min(seconds, 1e9)));
}

// Shared by every threaded queue: waits for a work item posted through `sync`.
void runAndWait(Queue& queue, const Work& work) {
  if (queue.isCurrent()) {
    work();
    return;
  }
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  queue.async([&] {
    work();
    std::lock_guard<std::mutex> lock(mutex);
    finished = true;
    done.notify_all();
  });
  std::unique_lock<std::mutex> lock(mutex);
  done.wait(lock, [&] { return finished; });
}

// A queue whose items are run by `threads` worker threads of its own. The workers share the
// item list, not the queue object, so the last reference may be dropped by one of its own items.
class ThreadedQueue : public Queue {
 public:
  ThreadedQueue(std::string label, int threads)
      : label_(std::move(label)), items_(std::make_shared<TimedWork>()) {
    for (int i = 0; i < threads; ++i) {
      workers_.emplace_back([items = items_, self = static_cast<const Queue*>(this)] {
        Work item;
        const auto never = Clock::time_point::max();
        while (items->take(item, never, nullptr)) {
          detail::CurrentQueueGuard guard(self);
          item();
          item = nullptr;
        }
      });
    }
  }
  ~ThreadedQueue() override {
    items_->stop();
    for (auto& worker : workers_) {
      if (worker.get_id() == std::this_thread::get_id()) {
        worker.detach();
      } else if (worker.joinable()) {
        worker.join();
      }
    }
  }
  void async(Work work) override { items_->post(Clock::now(), std::move(work)); }
  void asyncAfter(double seconds, Work work) override {
    items_->post(dueIn(seconds), std::move(work));
  }
  void sync(const Work& work) override { runAndWait(*this, work); }
  const std::string& label() const override { return label_; }

 private:
  std::string label_;
  std::shared_ptr<TimedWork> items_;
  std::vector<std::thread> workers_;
};

class MainQueue : public Queue {
 public:
  void async(Work work) override {
    items_.post(Clock::now(), std::move(work));
    wakePump();
  }
  void asyncAfter(double seconds, Work work) override {
    items_.post(dueIn(seconds), std::move(work));
    wakePump();
  }
  void sync(const Work& work) override { runAndWait(*this, work); }
  const std::string& label() const override { return label_; }

  int run(const std::function<bool()>& until, double timeout) {
    const auto deadline = timeout < 0 ? Clock::time_point::max() : dueIn(timeout);
    {
      std::lock_guard<std::mutex> lock(stateMutex_);
      stopRequested_ = false;
      status_ = -1;
    }
    const std::function<bool()>* outerUntil = until_;
    until_ = until ? &until : nullptr;
    if (auto pump = currentPump()) {
      for (;;) {
        drain();
        if (shouldPause()) break;
        const auto current = Clock::now();
        if (current >= deadline) break;
        const double left = deadline == Clock::time_point::max()
                                ? std::numeric_limits<double>::infinity()
                                : std::chrono::duration<double>(deadline - current).count();
        pump->processEvents(std::min(left, items_.secondsToNext()));
      }
    } else {
      Work item;
      for (;;) {
        if (until && until()) break;
        if (!items_.take(item, deadline, [this] { return stopRequestedLocked(); })) break;
        runItem(item);
        item = nullptr;
      }
    }
    until_ = outerUntil;
    std::lock_guard<std::mutex> lock(stateMutex_);
    return status_;
  }

  void stop(int status) {
    {
      std::lock_guard<std::mutex> lock(stateMutex_);
      stopRequested_ = true;
      status_ = status;
    }
    items_.wake();
    wakePump();
  }

  void attach(std::shared_ptr<MainLoopPump> pump) {
    pump->attach([this] { return drain(); });
    {
      std::lock_guard<std::mutex> lock(stateMutex_);
      pump_ = pump;
    }
    pump->wake();
  }

 private:
  bool stopRequestedLocked() {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return stopRequested_;
  }

  std::shared_ptr<MainLoopPump> currentPump() {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return pump_;
  }

  void wakePump() {
    if (auto pump = currentPump()) pump->wake();
  }

  // The innermost run has reached what it waits for, or the loop was asked to stop.
  bool shouldPause() { return stopRequestedLocked() || (until_ && (*until_)()); }

  void runItem(Work& item) {
    running_ = true;
    {
      detail::CurrentQueueGuard guard(this);
      item();
    }
    running_ = false;
  }

  // Runs the work that is due, one item at a time, on the main thread. The main queue is
  // serial: a nested event loop inside an item (a modal dialog) runs none of it.
  double drain() {
    if (!running_) {
      Work item;
      while (!shouldPause() && items_.takeDue(item)) {
        runItem(item);
        item = nullptr;
      }
    }
    return items_.secondsToNext();
  }

  std::string label_ = "com.apple.main-thread";
  TimedWork items_;
  std::mutex stateMutex_;
  bool stopRequested_ = false;
  int status_ = -1;
  std::shared_ptr<MainLoopPump> pump_;
  // Main thread only.
  bool running_ = false;
  const std::function<bool()>* until_ = nullptr;
};

// Work ahead on a thread of `threads`, or on the thread that waits for it when none took it
// first: it runs once, on whichever claims it.
class ThreadAhead : public Ahead {
 public:
  ThreadAhead(Queue& threads, Work work) : state_(std::make_shared<State>()) {
    state_->work = std::move(work);
    threads.async([state = state_] {
      if (state->claim()) state->run();
    });
  }
  ~ThreadAhead() override { wait(); }
  void wait() override {
    if (state_->claim()) {
      state_->run();
      return;
    }
    std::unique_lock<std::mutex> lock(state_->mutex);
    state_->ended.wait(lock, [this] { return state_->phase == Phase::done; });
  }

 private:
  enum class Phase { waiting, running, done };
  struct State {
    std::mutex mutex;
    std::condition_variable ended;
    Phase phase = Phase::waiting;
    Work work;
    bool claim() {
      std::lock_guard<std::mutex> lock(mutex);
      if (phase != Phase::waiting) return false;
      phase = Phase::running;
      return true;
    }
    void run() {
      work();
      std::lock_guard<std::mutex> lock(mutex);
      work = nullptr;
      phase = Phase::done;
      ended.notify_all();
    }
  };
  std::shared_ptr<State> state_;
};

class RealScheduler : public Scheduler {
 public:
  RealScheduler() : mainThread_(std::this_thread::get_id()), main_(std::make_shared<MainQueue>()) {}

  std::shared_ptr<Queue> mainQueue() override { return main_; }
  std::shared_ptr<Queue> makeSerialQueue(const std::string& label) override {
    return std::make_shared<ThreadedQueue>(label, 1);
  }
  std::shared_ptr<Queue> globalQueue(QoS qos) override {
    std::lock_guard<std::mutex> lock(mutex_);
    auto& queue = globals_[qos];
    if (!queue) {
      queue = std::make_shared<ThreadedQueue>("com.apple.root.global", 2);
    }
    return queue;
  }
  std::unique_ptr<Ahead> startAhead(Work work) override {
    std::shared_ptr<ThreadedQueue> threads;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!ahead_) ahead_ = std::make_shared<ThreadedQueue>("com.apple.root.ahead", 2);
      threads = ahead_;
    }
    return std::make_unique<ThreadAhead>(*threads, std::move(work));
  }
  double now() override { return monotonicSeconds(); }
  double currentDate() override {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9 -
           kSecondsFrom1970To2001;
  }
  bool isMainThread() override { return std::this_thread::get_id() == mainThread_; }
  int runMainLoop(const std::function<bool()>& until, double timeout) override {
    return main_->run(until, timeout);
  }
  void stopMainLoop(int status) override { main_->stop(status); }
  bool attachMainLoopPump(std::shared_ptr<MainLoopPump> pump) override {
    if (!pump) return false;
    main_->attach(std::move(pump));
    return true;
  }

 private:
  std::thread::id mainThread_;
  std::shared_ptr<MainQueue> main_;
  std::mutex mutex_;
  std::map<QoS, std::shared_ptr<ThreadedQueue>> globals_;
  std::shared_ptr<ThreadedQueue> ahead_;
};

}  // namespace

std::shared_ptr<Scheduler> makeRealScheduler() { return std::make_shared<RealScheduler>(); }

}  // namespace platform::dispatch
