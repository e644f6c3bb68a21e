// Every D-Bus message the session layers read (logind's replies and signals, the bus's
// answers), as it comes over the wire: the input is one message in D-Bus's wire format, sent
// by a peer to an sd-bus connection, which checks and parses it as it does any message; each
// of the layers' readers then reads it. (The keychain's Secret Service replies are parsed by
// libsecret and the tray's by Qt, not by us.)
#include <sys/socket.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <string>

#include "fuzz_input.hpp"
#include "platform/logind/bus_replies.hpp"

namespace replies = platform::logind::replies;

namespace {

// The message `wire` as an sd-bus connection receives it; null when sd-bus refuses it.
sd_bus_message* received(const std::uint8_t* wire, std::size_t size) {
  int fds[2];
  FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) == 0);
  sd_bus* bus = nullptr;
  FUZZ_CHECK(sd_bus_new(&bus) >= 0);
  FUZZ_CHECK(sd_bus_set_fd(bus, fds[0], fds[0]) >= 0);  // the connection owns it now
  FUZZ_CHECK(sd_bus_set_server(
                 bus, 1, SD_ID128_MAKE(51, 75, 6f, 72, 76, 65, 6c, 20, 66, 75, 7a, 7a, 20, 62, 75, 73)) >= 0);
  FUZZ_CHECK(sd_bus_set_anonymous(bus, 1) >= 0);
  FUZZ_CHECK(sd_bus_start(bus) >= 0);
  // The peer: authentication, then the message.
  std::string sent("\0AUTH ANONYMOUS\r\nBEGIN\r\n", 24);
  sent.append(reinterpret_cast<const char*>(wire), size);
  sd_bus_message* message = nullptr;
  if (::write(fds[1], sent.data(), sent.size()) == static_cast<ssize_t>(sent.size())) {
    for (int step = 0; step < 8 && !message; ++step) {
      if (sd_bus_process(bus, &message) <= 0) break;
    }
  }
  sd_bus_close_unref(bus);
  ::close(fds[1]);
  return message;
}

// The length the message's fixed header declares (header, fields padded to 8, body).
std::uint64_t declaredLength(const std::uint8_t* data, std::size_t size) {
  if (size < 16) return 16;
  const auto word = [&](std::size_t at) {
    return data[0] == 'B' ? std::uint32_t{data[at]} << 24 | std::uint32_t{data[at + 1]} << 16 |
                                std::uint32_t{data[at + 2]} << 8 | data[at + 3]
                          : std::uint32_t{data[at + 3]} << 24 | std::uint32_t{data[at + 2]} << 16 |
                                std::uint32_t{data[at + 1]} << 8 | data[at];
  };
  return 16 + ((std::uint64_t{word(12)} + 7) & ~std::uint64_t{7}) + word(4);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // One message, as long as it says: a message longer than the input never arrives whole, and
  // bytes after it would be the start of another; either would only have sd-bus set aside a
  // buffer of the length declared (up to 128 MiB) on every run.
  const std::uint64_t length = declaredLength(data, size);
  if (length > size) return 0;
  sd_bus_message* message = received(data, static_cast<std::size_t>(length));
  if (!message) return 0;
  // A failed call reaches no reader.
  if (!sd_bus_message_is_method_error(message, nullptr)) {
    const auto read = [message](auto reader) {
      FUZZ_CHECK(sd_bus_message_rewind(message, 1) >= 0);
      return reader(message);
    };
    if (const auto properties = read(replies::sessionProperties)) {
      FUZZ_CHECK(!properties->identity.id.empty() && !properties->identity.user.empty());
    }
    if (sd_bus_message_get_path(message)) {
      if (const auto change = read(replies::lockedHintChange))
        FUZZ_CHECK(change->value || change->invalidated);
    }
    (void)read(replies::lockedHint);
    if (const auto path = read(replies::sessionPath)) FUZZ_CHECK(!path->empty() && path->front() == '/');
    if (const auto pid = read(replies::processID)) FUZZ_CHECK(*pid > 0);
    (void)read(replies::sleeping);
    (void)read(replies::logindOwnerPresent);
  }
  sd_bus_message_unref(message);
  return 0;
}
