#include "platform/dispatch/virtual_scheduler.hpp"

#include <limits>

namespace platform::dispatch {
namespace {

class VirtualQueue : public Queue, public std::enable_shared_from_this<VirtualQueue> {
 public:
  VirtualQueue(std::weak_ptr<VirtualScheduler> scheduler, std::string label)
      : scheduler_(std::move(scheduler)), label_(std::move(label)) {}
  void async(Work work) override { asyncAfter(0, std::move(work)); }
  void asyncAfter(double seconds, Work work) override {
    if (auto scheduler = scheduler_.lock()) {
      scheduler->post(shared_from_this(), seconds, std::move(work));
    }
  }
  void sync(const Work& work) override {
    if (auto scheduler = scheduler_.lock()) {
      scheduler->runInline(*this, work);
    }
  }
  const std::string& label() const override { return label_; }

 private:
  std::weak_ptr<VirtualScheduler> scheduler_;
  std::string label_;
};

class DeferredAhead : public Ahead {
 public:
  explicit DeferredAhead(Work work) : work_(std::move(work)) {}
  void wait() override {
    if (!work_) return;
    Work work = std::move(work_);
    work_ = nullptr;
    work();
  }

 private:
  Work work_;
};

}  // namespace

VirtualScheduler::VirtualScheduler(double startDate) : startDate_(startDate) {}
VirtualScheduler::~VirtualScheduler() = default;

std::shared_ptr<Queue> VirtualScheduler::mainQueue() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (!main_) main_ = std::make_shared<VirtualQueue>(weak_from_this(), "com.apple.main-thread");
  return main_;
}

std::shared_ptr<Queue> VirtualScheduler::makeSerialQueue(const std::string& label) {
  return std::make_shared<VirtualQueue>(weak_from_this(), label);
}

std::shared_ptr<Queue> VirtualScheduler::globalQueue(QoS qos) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto& queue = globals_[qos];
  if (!queue) queue = std::make_shared<VirtualQueue>(weak_from_this(), "com.apple.root.global");
  return queue;
}

std::unique_ptr<Ahead> VirtualScheduler::startAhead(Work work) {
  return std::make_unique<DeferredAhead>(std::move(work));
}

double VirtualScheduler::now() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return now_;
}

double VirtualScheduler::currentDate() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return startDate_ + now_;
}

bool VirtualScheduler::isMainThread() {
  // Outside any queue the test thread plays the main thread.
  const Queue* current = detail::currentQueue();
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return current == nullptr || current == main_.get();
}

void VirtualScheduler::post(const std::shared_ptr<Queue>& queue, double delay, Work work) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  const double due = now_ + (delay > 0 ? delay : 0);
  const auto sequence = sequence_++;
  items_.emplace(std::make_pair(due, sequence), Item{due, sequence, queue, std::move(work)});
}

void VirtualScheduler::runInline(Queue& queue, const Work& work) {
  detail::CurrentQueueGuard guard(&queue);
  work();
}

bool VirtualScheduler::runNext(double limit) {
  Item item;
  std::shared_ptr<Queue> queue;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (items_.empty()) return false;
    auto first = items_.begin();
    if (first->second.due > limit) return false;
    item = std::move(first->second);
    items_.erase(first);
    if (item.due > now_) now_ = item.due;
    queue = item.queue.lock();
    if (queue) ranOn_.push_back(queue->label());
  }
  if (!queue) return true;  // the queue is gone: its work is dropped
  detail::CurrentQueueGuard guard(queue.get());
  item.work();
  return true;
}

void VirtualScheduler::advance(double seconds) {
  double target;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    target = now_ + (seconds > 0 ? seconds : 0);
  }
  while (runNext(target)) {
  }
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (now_ < target) now_ = target;
}

void VirtualScheduler::runUntilIdle() { advance(0); }

bool VirtualScheduler::advanceUntil(const std::function<bool()>& condition, double limit) {
  const double end = now() + limit;
  runUntilIdle();
  while (!condition()) {
    const double next = nextDueTime();
    if (next > end) {
      advance(end - now());
      return condition();
    }
    advance(next - now());
  }
  return true;
}

std::size_t VirtualScheduler::pendingCount() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return items_.size();
}

double VirtualScheduler::nextDueTime() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (items_.empty()) return std::numeric_limits<double>::infinity();
  return items_.begin()->second.due;
}

std::vector<std::string> VirtualScheduler::ranOn() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return ranOn_;
}

void VirtualScheduler::clearRanOn() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  ranOn_.clear();
}

int VirtualScheduler::runMainLoop(const std::function<bool()>& until, double timeout) {
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    stopRequested_ = false;
    stopStatus_ = -1;
  }
  const double end = timeout < 0 ? std::numeric_limits<double>::infinity() : now() + timeout;
  auto stopped = [&] {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return stopRequested_;
  };
  for (;;) {
    if (stopped() || (until && until())) break;
    const double next = nextDueTime();
    if (next > end) {
      if (end != std::numeric_limits<double>::infinity()) advance(end - now());
      break;
    }
    runNext(next);
  }
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return stopStatus_;
}

void VirtualScheduler::stopMainLoop(int status) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  stopRequested_ = true;
  stopStatus_ = status;
}

}  // namespace platform::dispatch
