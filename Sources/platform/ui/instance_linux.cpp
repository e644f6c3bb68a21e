#include "platform/ui/instance_linux.hpp"

#include <systemd/sd-bus.h>

#include <atomic>
#include <cstdint>
#include <optional>

#include "platform/dbus/connection.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "platform/log/log.hpp"

namespace platform::ui {

struct SessionInstance::State {
  std::function<void()> activated;
  std::atomic<bool> owner{false};
  // The claim could not tell (no bus, no answer): this process runs as the application and
  // takes the name when a connection comes.
  std::atomic<bool> unclaimed{false};
};

namespace {

constexpr const char* kInterface = "org.freedesktop.Application";
// RequestName's flag and answers.
constexpr std::uint32_t kDoNotQueue = 4;
constexpr std::uint32_t kPrimaryOwner = 1, kAlreadyOwner = 4;
// A bus that is slow to answer (a loaded machine) is waited for, not taken for none.
constexpr double kCallLimit = SessionInstance::callLimit;

const platform::log::Logger& logger() {
  // Never destroyed: the bus thread may still log while the process exits.
  static const auto* const instance = new platform::log::Logger("com.tessmin.quorvel.linux", "app");
  return *instance;
}

int onActivate(sd_bus_message* message, void* userdata, sd_bus_error*) {
  auto* state = static_cast<SessionInstance::State*>(userdata);
  if (state->owner && state->activated) dispatch::mainQueue().async(state->activated);
  return sd_bus_reply_method_return(message, "");
}

const sd_bus_vtable kVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Activate", "a{sv}", "", onActivate, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

// Asks for the name without queueing: `done` gets RequestName's answer, or none.
void requestName(sd_bus* bus, std::function<void(std::optional<std::uint32_t>)> done) {
  dbus::callMethod(
      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
      [](sd_bus_message* m) { return sd_bus_message_append(m, "su", SessionInstance::busName, kDoNotQueue); },
      [done = std::move(done)](const dbus::Reply& reply) {
        std::uint32_t answer = 0;
        if (reply.ok() && sd_bus_message_read(reply.message, "u", &answer) >= 0) {
          done(answer);
        } else {
          logger().error("The session bus would not give the application's name: %s", reply.error);
          done(std::nullopt);
        }
      },
      kCallLimit);
}

}  // namespace

SessionInstance::SessionInstance(std::function<void()> activated) : state_(std::make_shared<State>()) {
  state_->activated = std::move(activated);
  dbus::Connection::Handlers handlers;
  // The object is served on every connection (its slot goes with the connection), and the name
  // taken again when the bus comes back.
  handlers.connected = [state = state_](sd_bus* bus) {
    const int added = sd_bus_add_object_vtable(bus, nullptr, objectPath, kInterface, kVtable, state.get());
    if (added < 0) logger().error("The application's object cannot be served: %s", dbus::errorText(added));
    if (!state->owner && !state->unclaimed) return;
    requestName(bus, [state](std::optional<std::uint32_t> result) {
      if (result && (*result == kPrimaryOwner || *result == kAlreadyOwner)) state->owner = true;
    });
  };
  connection_ = std::make_unique<dbus::Connection>(dbus::BusType::session, std::move(handlers));
}

// The connection (and with it every slot that points at the state) ends first.
SessionInstance::~SessionInstance() { connection_.reset(); }

InstanceClaim SessionInstance::claim(double timeout) {
  using Answer = std::function<void(std::optional<InstanceClaim>)>;
  const auto answer = connection_->ask<InstanceClaim>(
      [state = state_](sd_bus* bus, Answer done) {
        const auto unknown = [state, done] {
          state->unclaimed = true;
          done(InstanceClaim::unknown);
        };
        if (!bus) return unknown();
        requestName(bus, [bus, state, done, unknown](std::optional<std::uint32_t> result) {
          if (!result) return unknown();
          if (*result == kPrimaryOwner || *result == kAlreadyOwner) {
            state->owner = true;
            return done(InstanceClaim::first);
          }
          // Another process owns the name: the running application is asked to show itself.
          dbus::callMethod(
              bus, busName, objectPath, kInterface, "Activate",
              [](sd_bus_message* m) {
                const int opened = sd_bus_message_open_container(m, 'a', "{sv}");
                return opened < 0 ? opened : sd_bus_message_close_container(m);
              },
              [bus, state, done, unknown](const dbus::Reply& reply) {
                if (reply.ok()) return done(InstanceClaim::handedOver);
                logger().error("The running application did not answer: %s", reply.error);
                // The bus is being freed when our own connection closed: nothing more is asked.
                if (reply.error == dbus::kConnectionClosed) return unknown();
                // It may have quit since (its name gone, or it left without answering): the
                // name is asked for once more. Still owned, it belongs to a running copy.
                requestName(bus, [state, done, unknown](std::optional<std::uint32_t> again) {
                  if (!again) return unknown();
                  if (*again == kPrimaryOwner || *again == kAlreadyOwner) {
                    state->owner = true;
                    return done(InstanceClaim::first);
                  }
                  done(InstanceClaim::handedOver);
                });
              },
              kCallLimit);
        });
      },
      timeout);
  if (!answer) state_->unclaimed = true;
  return answer.value_or(InstanceClaim::unknown);
}

}  // namespace platform::ui
