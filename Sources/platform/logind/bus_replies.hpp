// What the session layers read from logind's and the bus's messages. Each reader takes a
// message positioned at the start of its body and answers what it found, or none when the
// body does not hold it; a reader never trusts the sender's types.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/logind/login_session.hpp"

struct sd_bus_message;

namespace platform::logind::replies {

// A session's properties (`GetAll` of org.freedesktop.login1.Session): the identity (without
// the path) and the lock state, when every one of Id, Name, User and LockedHint is there.
struct SessionProperties {
  SessionIdentity identity;
  bool locked = false;
};
std::optional<SessionProperties> sessionProperties(sd_bus_message* message);

// A session's `PropertiesChanged` signal: LockedHint's new value and whether the signal
// invalidated it; none when it is about another interface or says nothing about the hint.
struct LockedHintChange {
  std::optional<bool> value;
  bool invalidated = false;
};
std::optional<LockedHintChange> lockedHintChange(sd_bus_message* message);

// A property read of LockedHint (a variant holding a Boolean).
std::optional<bool> lockedHint(sd_bus_message* message);
// The object path of a `GetSession` / `GetSessionByPID` reply.
std::optional<std::string> sessionPath(sd_bus_message* message);
// The process of a `GetConnectionUnixProcessID` reply (a positive identifier).
std::optional<std::int32_t> processID(sd_bus_message* message);
// `PrepareForSleep`: whether the machine is about to sleep.
std::optional<bool> sleeping(sd_bus_message* message);
// `NameOwnerChanged` about logind: whether logind has an owner now; none for another name.
std::optional<bool> logindOwnerPresent(sd_bus_message* message);

}  // namespace platform::logind::replies
