// A D-Bus connection (sd-bus) served by a thread of its own, so that the bus works whatever
// runs the main loop. The thread connects, reconnects after the bus went away (with a
// growing pause), runs the jobs handed to it, and dispatches replies and signals; sd-bus is
// touched on that thread only. Other threads hand it jobs, or ask it a question and wait a
// bounded time for the answer.
#pragma once

#include <systemd/sd-bus.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace platform::dbus {

enum class BusType { system, session };

// How long a method call waits for its reply.
inline constexpr double kCallTimeout = 1.0;
// How long a question from another thread waits for the bus thread's answer (the call's own
// time-out comes first, so its error is logged).
inline constexpr double kAskTimeout = kCallTimeout + 0.25;
// After a question went unanswered, further questions fail at once for this long: a service
// that hangs holds up the asking thread once, not on every question.
inline constexpr double kCoolOff = 2.0;
// The error text of calls that ended because the connection closed.
inline constexpr const char* kConnectionClosed = "connection closed";

// The outcome of a method call. `message` is valid only while the handler runs.
struct Reply {
  sd_bus_message* message = nullptr;
  std::string error;  // "name: text" when the call failed
  bool ok() const { return message != nullptr && error.empty(); }
};
using ReplyHandler = std::function<void(const Reply&)>;
// Appends a call's arguments; a negative result (an errno) abandons the call.
using Arguments = std::function<int(sd_bus_message*)>;

class Connection {
 public:
  // Runs on the bus thread; `bus` is null while there is no connection.
  using Job = std::function<void(sd_bus* bus)>;
  struct Handlers {
    // After every (re)connection: add matches, read the state afresh.
    std::function<void(sd_bus*)> connected;
    // After every loss of the connection and every failed attempt to connect.
    std::function<void()> disconnected;
  };

  Connection(BusType type, Handlers handlers);
  // Stops the thread (as `stop()` does) and closes the connection.
  ~Connection();
  // Ends the thread: queued questions are answered without a connection, pending calls end
  // with `kConnectionClosed`, later jobs are dropped. Safe to call more than once.
  void stop();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void post(Job job);
  void postAfter(double seconds, Job job);
  bool onBusThread() const { return std::this_thread::get_id() == thread_.get_id(); }
  bool stopping() const;
  // "system bus" or "session bus".
  const char* name() const;

  // Runs `start` on the bus thread and waits at most `timeout` seconds for it to answer
  // through the function it is given (at most once). No value when the time runs out, the
  // answer is none, the caller is the bus thread itself (which must never wait on itself),
  // or an earlier question went unanswered less than `kCoolOff` seconds ago.
  template <class T>
  std::optional<T> ask(std::function<void(sd_bus*, std::function<void(std::optional<T>)>)> start,
                       double timeout = kAskTimeout);

 private:
  void run();
  void connect();
  void lose(int error);
  void runDueJobs();
  int pollTimeoutMs();

  const BusType type_;
  const Handlers handlers_;
  sd_bus* bus_ = nullptr;  // bus thread only
  double retryPause_ = 0.05;
  std::chrono::steady_clock::time_point nextAttempt_{};
  bool reportedUnavailable_ = false;
  bool everConnected_ = false;

  mutable std::mutex mutex_;
  bool stopping_ = false;
  std::chrono::steady_clock::time_point coolOffUntil_{};
  std::vector<Job> jobs_;
  std::multimap<std::chrono::steady_clock::time_point, Job> delayed_;
  int wakeFd_ = -1;
  std::thread thread_;
};

// Calls a method asynchronously on the bus thread. `done` runs exactly once, on the bus
// thread: with the reply, or with an error when the call could not be sent, failed, timed out
// or the connection closed first. Services are never started by the call.
void callMethod(sd_bus* bus, const char* destination, const char* path, const char* interface,
                const char* member, const Arguments& arguments, ReplyHandler done,
                double timeout = kCallTimeout);

// The text of a negative errno result of sd-bus.
std::string errorText(int error);

// Reads a variant holding one value of the basic `type` ("b", "s", "d", ...) into `out`; skips
// a variant of another type, so a sender's wrong type is never read. Returns whether the value
// was read.
template <class T>
bool readVariant(sd_bus_message* message, const char* type, T* out) {
  if (sd_bus_message_enter_container(message, 'v', type) > 0) {
    const bool read = sd_bus_message_read_basic(message, type[0], out) > 0;
    sd_bus_message_exit_container(message);
    return read;
  }
  sd_bus_message_skip(message, "v");
  return false;
}
inline bool readVariant(sd_bus_message* message, const char* type, std::string* out) {
  const char* text = nullptr;
  if (!readVariant(message, type, &text)) return false;
  *out = text ? text : "";
  return true;
}

template <class T>
std::optional<T> Connection::ask(std::function<void(sd_bus*, std::function<void(std::optional<T>)>)> start,
                                 double timeout) {
  if (onBusThread()) return std::nullopt;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (std::chrono::steady_clock::now() < coolOffUntil_) return std::nullopt;
  }
  struct State {
    std::mutex mutex;
    std::condition_variable answered;
    bool done = false;
    std::optional<T> value;
  };
  auto state = std::make_shared<State>();
  post([state, start = std::move(start)](sd_bus* bus) {
    start(bus, [state](std::optional<T> value) {
      {
        std::lock_guard<std::mutex> lock(state->mutex);
        if (state->done) return;
        state->done = true;
        state->value = std::move(value);
      }
      state->answered.notify_all();
    });
  });
  std::unique_lock<std::mutex> lock(state->mutex);
  const bool done = state->answered.wait_for(lock, std::chrono::duration<double>(timeout),
                                             [&] { return state->done; });
  if (!done) {
    state->done = true;  // a late answer is dropped
    lock.unlock();
    std::lock_guard<std::mutex> guard(mutex_);
    coolOffUntil_ = std::chrono::steady_clock::now() +
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(kCoolOff));
    return std::nullopt;
  }
  return std::move(state->value);
}

}  // namespace platform::dbus
