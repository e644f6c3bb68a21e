#include "platform/dbus/connection.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/log/log.hpp"

namespace platform::dbus {
namespace {

using Clock = std::chrono::steady_clock;

const platform::log::Logger& logger() {
  // Never destroyed: threads of the process may still log while it exits.
  static const auto* const instance = new platform::log::Logger("com.tessmin.quorvel.linux", "dbus");
  return *instance;
}

constexpr double kLongestRetryPause = 1.0;

// One pending call: its handler, and whether it has been answered. Freed with its slot.
struct PendingCall {
  ReplyHandler done;
  bool answered = false;
};

int onReply(sd_bus_message* message, void* userdata, sd_bus_error*) {
  auto* call = static_cast<PendingCall*>(userdata);
  Reply reply;
  if (const sd_bus_error* error = sd_bus_message_get_error(message)) {
    reply.error = std::string(error->name ? error->name : "error") + ": " + (error->message ? error->message : "");
  } else {
    reply.message = message;
  }
  call->answered = true;
  if (call->done) call->done(reply);
  return 0;
}

void onSlotDestroyed(void* userdata) {
  auto* call = static_cast<PendingCall*>(userdata);
  if (!call->answered && call->done) {
    call->answered = true;
    call->done(Reply{nullptr, kConnectionClosed});
  }
  delete call;
}

}  // namespace

std::string errorText(int error) { return std::strerror(error < 0 ? -error : error); }

void callMethod(sd_bus* bus, const char* destination, const char* path, const char* interface,
                const char* member, const Arguments& arguments, ReplyHandler done, double timeout) {
  if (!bus) {
    if (done) done(Reply{nullptr, "not connected"});
    return;
  }
  sd_bus_message* message = nullptr;
  int result = sd_bus_message_new_method_call(bus, &message, destination, path, interface, member);
  if (result >= 0) result = sd_bus_message_set_auto_start(message, 0);
  if (result >= 0 && arguments) result = arguments(message);
  if (result < 0) {
    sd_bus_message_unref(message);
    if (done) done(Reply{nullptr, errorText(result)});
    return;
  }
  auto* call = new PendingCall{std::move(done)};
  sd_bus_slot* slot = nullptr;
  const auto usec = static_cast<std::uint64_t>(std::max(timeout, 0.001) * 1e6);
  result = sd_bus_call_async(bus, &slot, message, onReply, call, usec);
  sd_bus_message_unref(message);
  if (result < 0) {
    if (call->done) call->done(Reply{nullptr, errorText(result)});
    delete call;
    return;
  }
  // The bus keeps the slot from here on; the handler is told when the slot goes unanswered.
  sd_bus_slot_set_destroy_callback(slot, onSlotDestroyed);
  sd_bus_slot_set_floating(slot, 1);
  sd_bus_slot_unref(slot);
}

Connection::Connection(BusType type, Handlers handlers) : type_(type), handlers_(std::move(handlers)) {
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  thread_ = std::thread([this] { run(); });
}

Connection::~Connection() {
  stop();
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

void Connection::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  if (wakeFd_ >= 0) {
    const std::uint64_t one = 1;
    (void)!::write(wakeFd_, &one, sizeof one);
  }
  if (thread_.joinable() && !onBusThread()) thread_.join();
}

const char* Connection::name() const { return type_ == BusType::system ? "system bus" : "session bus"; }

bool Connection::stopping() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stopping_;
}

void Connection::post(Job job) { postAfter(0, std::move(job)); }

void Connection::postAfter(double seconds, Job job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    if (seconds <= 0) {
      jobs_.push_back(std::move(job));
    } else {
      const auto due = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
      delayed_.emplace(due, std::move(job));
    }
  }
  if (wakeFd_ >= 0) {
    const std::uint64_t one = 1;
    (void)!::write(wakeFd_, &one, sizeof one);
  }
}

void Connection::connect() {
  if (Clock::now() < nextAttempt_) return;
  sd_bus* bus = nullptr;
  const int result = type_ == BusType::system ? sd_bus_open_system_with_description(&bus, "quorvel")
                                              : sd_bus_open_user_with_description(&bus, "quorvel");
  if (result < 0) {
    if (!reportedUnavailable_) {
      logger().error("The %s is unavailable: %s", name(), errorText(result));
      reportedUnavailable_ = true;
    }
    nextAttempt_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(retryPause_));
    retryPause_ = std::min(retryPause_ * 2, kLongestRetryPause);
    if (handlers_.disconnected) handlers_.disconnected();
    return;
  }
  bus_ = bus;
  if (everConnected_ || reportedUnavailable_) logger().log("Connected to the %s again", name());
  everConnected_ = true;
  reportedUnavailable_ = false;
  retryPause_ = 0.05;
  if (handlers_.connected) handlers_.connected(bus_);
}

void Connection::lose(int error) {
  if (!bus_) return;
  logger().error("Lost the %s: %s", name(), errorText(error));
  reportedUnavailable_ = true;
  sd_bus* bus = bus_;
  bus_ = nullptr;
  // Pending calls end with `kConnectionClosed` while the bus is freed.
  sd_bus_close_unref(bus);
  nextAttempt_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(retryPause_));
  if (handlers_.disconnected) handlers_.disconnected();
}

void Connection::runDueJobs() {
  std::vector<Job> ready;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ready.swap(jobs_);
    const auto now = Clock::now();
    while (!delayed_.empty() && delayed_.begin()->first <= now) {
      ready.push_back(std::move(delayed_.begin()->second));
      delayed_.erase(delayed_.begin());
    }
  }
  for (auto& job : ready) job(bus_);
}

int Connection::pollTimeoutMs() {
  auto wakeAt = Clock::time_point::max();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!jobs_.empty()) return 0;
    if (!delayed_.empty()) wakeAt = delayed_.begin()->first;
  }
  if (!bus_) wakeAt = std::min(wakeAt, nextAttempt_);
  if (bus_) {
    std::uint64_t usec = UINT64_MAX;
    if (sd_bus_get_timeout(bus_, &usec) >= 0 && usec != UINT64_MAX) {
      // An absolute time on the monotonic clock, like the steady clock.
      struct timespec now {};
      ::clock_gettime(CLOCK_MONOTONIC, &now);
      const std::uint64_t nowUsec = static_cast<std::uint64_t>(now.tv_sec) * 1'000'000u + now.tv_nsec / 1000;
      const auto remaining = usec > nowUsec ? usec - nowUsec : 0;
      wakeAt = std::min(wakeAt, Clock::now() + std::chrono::microseconds(remaining));
    }
  }
  if (wakeAt == Clock::time_point::max()) return -1;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(wakeAt - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(ms, 0, INT_MAX));
}

void Connection::run() {
  for (;;) {
    if (stopping()) break;
    if (!bus_) connect();
    runDueJobs();
    while (bus_) {
      const int result = sd_bus_process(bus_, nullptr);
      if (result < 0) {
        lose(result);
        break;
      }
      if (result == 0) break;
    }
    struct pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {-1, 0, 0}};
    nfds_t count = 1;
    if (bus_) {
      const int fd = sd_bus_get_fd(bus_);
      const int events = sd_bus_get_events(bus_);
      if (fd >= 0 && events >= 0) {
        fds[1] = {fd, static_cast<short>(events), 0};
        count = 2;
      }
    }
    const int timeout = pollTimeoutMs();
    if (::poll(fds, count, timeout) > 0 && (fds[0].revents & POLLIN)) {
      std::uint64_t value = 0;
      (void)!::read(wakeFd_, &value, sizeof value);
    }
  }
  if (bus_) {
    sd_bus* bus = bus_;
    bus_ = nullptr;
    sd_bus_close_unref(bus);
  }
  // Questions still queued get no connection.
  runDueJobs();
}

}  // namespace platform::dbus
