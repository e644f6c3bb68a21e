#include "platform/authorization/authorization_linux.hpp"

#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <optional>

#include "platform/dbus/connection.hpp"
#include "platform/log/log.hpp"
#include "platform/processes/processes_linux.hpp"

namespace platform::authorization {

namespace {

constexpr const char* kPolkit = "org.freedesktop.PolicyKit1";
constexpr const char* kAuthorityPath = "/org/freedesktop/PolicyKit1/Authority";
constexpr const char* kAuthority = "org.freedesktop.PolicyKit1.Authority";
constexpr std::uint32_t kAllowUserInteraction = 1;
// A dialog may stay up as long as the user leaves it; the check waits for its answer.
constexpr double kCheckTimeout = 24 * 3600.0;

const platform::log::Logger& logger() {
  // Never destroyed: a check may still be waiting on another thread while the process exits.
  static const auto* const instance = new platform::log::Logger("com.tessmin.quorvel.linux", "authorization");
  return *instance;
}

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// What polkitd answered: (is_authorized, is_challenge, details), or the call's error.
struct Answer {
  bool authorized = false;
  bool challenge = false;
  bool dismissed = false;
  std::string error;
};

std::optional<Answer> readResult(sd_bus_message* m) {
  Answer answer;
  int authorized = 0, challenge = 0;
  if (sd_bus_message_enter_container(m, 'r', "bba{ss}") < 0) return std::nullopt;
  if (sd_bus_message_read(m, "bb", &authorized, &challenge) < 0) return std::nullopt;
  if (sd_bus_message_enter_container(m, 'a', "{ss}") < 0) return std::nullopt;
  const char* key = nullptr;
  const char* value = nullptr;
  int read = 0;
  while ((read = sd_bus_message_read(m, "{ss}", &key, &value)) > 0) {
    if (std::string(key) == "polkit.dismissed" && std::string(value) == "true") answer.dismissed = true;
  }
  if (read < 0) return std::nullopt;
  answer.authorized = authorized != 0;
  answer.challenge = challenge != 0;
  return answer;
}

// The subject "unix-process": our pid, start time (clock ticks since boot) and uid.
int appendSubject(sd_bus_message* m) {
  const auto pid = static_cast<std::int32_t>(::getpid());
  const auto start = processes::linuxStartTicks(pid).value_or(0);
  return sd_bus_message_append(m, "(sa{sv})", "unix-process", 3, "pid", "u", static_cast<std::uint32_t>(pid),
                               "start-time", "t", static_cast<std::uint64_t>(start), "uid", "i",
                               static_cast<std::int32_t>(::getuid()));
}

}  // namespace

LinuxAuthorization::LinuxAuthorization() = default;
LinuxAuthorization::~LinuxAuthorization() = default;

dbus::Connection& LinuxAuthorization::bus() {
  // Callers hold mutex_.
  if (!bus_) bus_ = std::make_unique<dbus::Connection>(dbus::BusType::system, dbus::Connection::Handlers{});
  return *bus_;
}

OSStatus LinuxAuthorization::create(const ItemSet* rights, const ItemSet* environment, Flags flags,
                                    Reference* reference) {
  if (!reference) return errAuthorizationInvalidRef;
  *reference = Reference{};
  Reference made;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    made = Reference{next_++};
    live_[made.value];
  }
  // Rights asked for at creation are obtained now, as a later request would.
  if (rights && !rights->empty() && (flags & kAuthorizationFlagExtendRights) != 0) {
    const OSStatus status = copyRights(made, *rights, environment, flags, nullptr);
    if (status != errAuthorizationSuccess) {
      free(made, kAuthorizationFlagDefaults);
      return status;
    }
  }
  *reference = made;
  return errAuthorizationSuccess;
}

OSStatus LinuxAuthorization::copyRights(Reference reference, const ItemSet& rights, const ItemSet* /*environment*/,
                                        Flags flags, ItemSet* granted) {
  if (granted) granted->clear();
  std::vector<std::string> needed;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = live_.find(reference.value);
    if (!reference || found == live_.end()) return errAuthorizationInvalidRef;
    for (const auto& right : rights) {
      if (right.name != kAdministratorRight) return errAuthorizationDenied;
      if (!found->second.rights.count(right.name)) needed.push_back(right.name);
    }
  }
  if (!needed.empty()) {
    const bool extend = (flags & kAuthorizationFlagExtendRights) != 0;
    const bool interaction = extend && (flags & kAuthorizationFlagInteractionAllowed) != 0;
    const OSStatus status = check(reference.value, interaction);
    if (status != errAuthorizationSuccess) {
      // Without ExtendRights only a right already held could have been given.
      return !extend && status == errAuthorizationInteractionNotAllowed ? errAuthorizationDenied : status;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = live_.find(reference.value);
    if (found != live_.end()) found->second.rights.insert(kAdministratorRight);
  }
  if (granted) *granted = rights;
  return errAuthorizationSuccess;
}

OSStatus LinuxAuthorization::check(std::uint64_t reference, bool interaction) {
  struct State {
    std::mutex mutex;
    std::condition_variable answered;
    std::optional<Answer> answer;
  };
  auto state = std::make_shared<State>();
  std::string cancellation;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = live_.find(reference);
    if (found == live_.end()) return errAuthorizationInvalidRef;
    cancellation = "quorvel-" + std::to_string(::getpid()) + "-" + std::to_string(nextCheck_++);
    found->second.pendingChecks.insert(cancellation);
    bus().post([state, interaction, cancellation](sd_bus* bus) {
      dbus::callMethod(
          bus, kPolkit, kAuthorityPath, kAuthority, "CheckAuthorization",
          [interaction, cancellation](sd_bus_message* m) {
            int result = appendSubject(m);
            if (result >= 0) {
              result = sd_bus_message_append(m, "sa{ss}us", kAdministratorAction, 0,
                                             interaction ? kAllowUserInteraction : 0u, cancellation.c_str());
            }
            return result;
          },
          [state](const dbus::Reply& reply) {
            Answer answer;
            if (reply.ok()) {
              const auto read = readResult(reply.message);
              answer = read ? *read : Answer{false, false, false, "polkitd's answer could not be read"};
            } else {
              answer.error = reply.error;
            }
            {
              std::lock_guard<std::mutex> lock(state->mutex);
              state->answer = answer;
            }
            state->answered.notify_all();
          },
          kCheckTimeout);
    });
  }
  std::unique_lock<std::mutex> wait(state->mutex);
  state->answered.wait(wait, [&] { return state->answer.has_value(); });
  const Answer answer = *state->answer;
  wait.unlock();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = live_.find(reference);
    if (found != live_.end()) found->second.pendingChecks.erase(cancellation);
    // Whatever polkitd answered a check it was told to cancel, the request was cancelled.
    if (cancelled_.erase(cancellation) > 0) return errAuthorizationCanceled;
  }

  if (!answer.error.empty()) {
    if (startsWith(answer.error, "org.freedesktop.PolicyKit1.Error.Cancelled")) return errAuthorizationCanceled;
    if (startsWith(answer.error, "org.freedesktop.DBus.Error.ServiceUnknown") ||
        startsWith(answer.error, "org.freedesktop.DBus.Error.NameHasNoOwner")) {
      logger().error("polkitd is not running on the system bus, so no authentication dialog can be shown (%s)",
                     answer.error);
    } else if (answer.error == "not connected" || answer.error == dbus::kConnectionClosed) {
      logger().error("There is no system bus to reach polkitd, so no authentication dialog can be shown (%s)",
                     answer.error);
    } else if (answer.error.find("is not registered") != std::string::npos) {
      logger().error("polkit does not know the action %s: install its policy file with scripts/setup (%s)",
                     kAdministratorAction, answer.error);
    } else {
      logger().error("polkit could not check the administrator right: %s", answer.error);
    }
    return errAuthorizationInternal;
  }
  if (answer.authorized) return errAuthorizationSuccess;
  if (answer.dismissed) return errAuthorizationCanceled;
  if (answer.challenge) {
    if (interaction) {
      logger().error(
          "No polkit authentication agent answers for this process, so the administrator's password cannot be "
          "asked for (start the desktop's polkit agent)");
    }
    return errAuthorizationInteractionNotAllowed;
  }
  return errAuthorizationDenied;
}

OSStatus LinuxAuthorization::free(Reference reference, Flags flags) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = live_.find(reference.value);
  if (!reference || found == live_.end()) return errAuthorizationInvalidRef;
  // Cancelled through the connection that asked: polkitd matches the caller too.
  if ((flags & kAuthorizationFlagDestroyRights) != 0 && !found->second.pendingChecks.empty() && bus_) {
    for (const auto& cancellation : found->second.pendingChecks) {
      cancelled_.insert(cancellation);
      bus_->post([cancellation](sd_bus* bus) {
        dbus::callMethod(
            bus, kPolkit, kAuthorityPath, kAuthority, "CancelCheckAuthorization",
            [cancellation](sd_bus_message* m) { return sd_bus_message_append(m, "s", cancellation.c_str()); },
            [](const dbus::Reply& reply) {
              if (!reply.ok()) logger().error("polkit did not cancel a pending check: %s", reply.error);
            });
      });
    }
  }
  live_.erase(found);
  return errAuthorizationSuccess;
}

}  // namespace platform::authorization
