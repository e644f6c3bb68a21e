// A scheduler in which time stands still until the caller advances it. All queues, serial
// and global alike, run their work on the calling thread in the order (due time, posting
// order), so a test gets the same interleaving on every run.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/dispatch/dispatch.hpp"

namespace platform::dispatch {

class VirtualScheduler : public Scheduler, public std::enable_shared_from_this<VirtualScheduler> {
 public:
  // `startDate` is the wall-clock date (seconds since 2001) at virtual time 0.
  explicit VirtualScheduler(double startDate = 788918400.0);  // 2026-01-01
  ~VirtualScheduler() override;

  std::shared_ptr<Queue> mainQueue() override;
  std::shared_ptr<Queue> makeSerialQueue(const std::string& label) override;
  std::shared_ptr<Queue> globalQueue(QoS qos) override;
  // Runs the work when it is first waited for, on the waiting thread; never otherwise.
  std::unique_ptr<Ahead> startAhead(Work work) override;
  double now() override;
  double currentDate() override;
  bool isMainThread() override;
  int runMainLoop(const std::function<bool()>& until, double timeout) override;
  void stopMainLoop(int status) override;

  // Runs everything due up to now + `seconds` in order, moving the clock to each item's due
  // time as it runs; the clock ends at now + `seconds`.
  void advance(double seconds);
  // Runs everything that is due now, including work posted meanwhile for now.
  void runUntilIdle();
  // Advances to each next item until `condition` holds or `limit` seconds have passed.
  bool advanceUntil(const std::function<bool()>& condition, double limit);
  // Number of items not yet run, and the due time of the earliest one (infinity when none).
  std::size_t pendingCount() const;
  double nextDueTime() const;
  // Labels of the queues whose work ran, in order; useful to check where work went.
  std::vector<std::string> ranOn() const;
  void clearRanOn();

  // Used by the queues.
  void post(const std::shared_ptr<Queue>& queue, double delay, Work work);
  void runInline(Queue& queue, const Work& work);

 private:
  struct Item {
    double due;
    std::uint64_t sequence;
    std::weak_ptr<Queue> queue;
    Work work;
  };
  bool runNext(double limit);

  mutable std::recursive_mutex mutex_;
  double now_ = 0;
  double startDate_;
  std::uint64_t sequence_ = 0;
  std::multimap<std::pair<double, std::uint64_t>, Item> items_;
  std::shared_ptr<Queue> main_;
  std::map<QoS, std::shared_ptr<Queue>> globals_;
  std::vector<std::string> ranOn_;
  bool stopRequested_ = false;
  int stopStatus_ = -1;
};

}  // namespace platform::dispatch
