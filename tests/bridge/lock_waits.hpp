// Telling that a thread of this process waits for a lock, without timing it.
#pragma once

#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

namespace quorvel::testing {

// Whether the thread `tid` of this process sleeps in a futex wait (a contended mutex).
inline bool waitsOnALock(pid_t tid) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
  long number = -1;  // "running" when it is not in a system call
  return in >> number && number == SYS_futex;
}

// Polls until `done()`, or until the thread whose id `tid` receives waits on a lock; false
// when neither happened within `limit`.
inline bool finishesOrWaitsOnALock(const std::function<bool()>& done, const std::atomic<pid_t>& tid,
                                  std::chrono::seconds limit = std::chrono::seconds(60)) {
  for (const auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;
       std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
    if (done() || (tid.load() > 0 && waitsOnALock(tid.load()))) return true;
  }
  return false;
}

}  // namespace quorvel::testing
