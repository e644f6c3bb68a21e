#include "platform/logind/bus_replies.hpp"

#include <systemd/sd-bus.h>

#include <cstring>

#include "platform/dbus/connection.hpp"

namespace platform::logind::replies {
namespace {

constexpr const char* kSession = "org.freedesktop.login1.Session";
constexpr const char* kLogind = "org.freedesktop.login1";

using dbus::readVariant;

}  // namespace

std::optional<SessionProperties> sessionProperties(sd_bus_message* m) {
  SessionProperties properties;
  SessionIdentity& identity = properties.identity;
  std::optional<bool> locked;
  bool haveUser = false;
  if (sd_bus_message_enter_container(m, 'a', "{sv}") > 0) {
    while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
      const char* key = nullptr;
      sd_bus_message_read(m, "s", &key);
      const std::string name = key ? key : "";
      const char* text = nullptr;
      int flag = 0;
      if (name == "Id" && readVariant(m, "s", &text)) {
        identity.id = text;
      } else if (name == "Name" && readVariant(m, "s", &text)) {
        identity.user = text;
      } else if (name == "LockedHint" && readVariant(m, "b", &flag)) {
        locked = flag != 0;
      } else if (name == "User" && sd_bus_message_enter_container(m, 'v', "(uo)") > 0) {
        const char* userPath = nullptr;
        haveUser = sd_bus_message_read(m, "(uo)", &identity.uid, &userPath) > 0;
        sd_bus_message_exit_container(m);
      } else {
        sd_bus_message_skip(m, "v");
      }
      sd_bus_message_exit_container(m);
    }
    sd_bus_message_exit_container(m);
  }
  if (identity.id.empty() || identity.user.empty() || !haveUser || !locked) return std::nullopt;
  properties.locked = *locked;
  return properties;
}

std::optional<LockedHintChange> lockedHintChange(sd_bus_message* m) {
  const char* interface = nullptr;
  if (sd_bus_message_read(m, "s", &interface) <= 0 || !interface || std::strcmp(interface, kSession) != 0) {
    return std::nullopt;
  }
  LockedHintChange change;
  if (sd_bus_message_enter_container(m, 'a', "{sv}") > 0) {
    while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
      const char* key = nullptr;
      if (sd_bus_message_read(m, "s", &key) > 0 && key && std::strcmp(key, "LockedHint") == 0) {
        int locked = 0;
        if (readVariant(m, "b", &locked)) change.value = locked != 0;
      } else {
        sd_bus_message_skip(m, "v");
      }
      sd_bus_message_exit_container(m);
    }
    sd_bus_message_exit_container(m);
  }
  if (sd_bus_message_enter_container(m, 'a', "s") > 0) {
    const char* name = nullptr;
    while (sd_bus_message_read(m, "s", &name) > 0) {
      if (name && std::strcmp(name, "LockedHint") == 0) change.invalidated = true;
    }
    sd_bus_message_exit_container(m);
  }
  if (!change.value && !change.invalidated) return std::nullopt;
  return change;
}

std::optional<bool> lockedHint(sd_bus_message* m) {
  int locked = 0;
  if (!readVariant(m, "b", &locked)) return std::nullopt;
  return locked != 0;
}

std::optional<std::string> sessionPath(sd_bus_message* m) {
  const char* path = nullptr;
  if (sd_bus_message_read(m, "o", &path) <= 0 || !path) return std::nullopt;
  return std::string(path);
}

std::optional<std::int32_t> processID(sd_bus_message* m) {
  std::uint32_t pid = 0;
  // An identifier beyond the kernel's range names no process.
  if (sd_bus_message_read(m, "u", &pid) <= 0 || pid == 0 || pid > INT32_MAX) return std::nullopt;
  return static_cast<std::int32_t>(pid);
}

std::optional<bool> sleeping(sd_bus_message* m) {
  int sleeping = 0;
  if (sd_bus_message_read(m, "b", &sleeping) <= 0) return std::nullopt;
  return sleeping != 0;
}

std::optional<bool> logindOwnerPresent(sd_bus_message* m) {
  const char *name = nullptr, *before = nullptr, *after = nullptr;
  if (sd_bus_message_read(m, "sss", &name, &before, &after) <= 0 || !name ||
      std::strcmp(name, kLogind) != 0) {
    return std::nullopt;
  }
  return after && *after;
}

}  // namespace platform::logind::replies
