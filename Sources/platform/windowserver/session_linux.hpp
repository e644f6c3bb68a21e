// The login session's description on Linux.
#pragma once

#include "platform/windowserver/session.hpp"

namespace platform::windowserver {

// Linux: the dictionary of our login session as logind describes it now
// (platform/logind/login_session.hpp): "CGSSessionScreenIsLocked" is the session's
// `LockedHint`, read live. No dictionary when logind names no session of ours or cannot be
// asked (no bus, no logind, no answer within a fraction of a second).
class LinuxSessionSource : public SessionSource {
 public:
  std::optional<SessionDictionary> copyCurrentDictionary() override;
};

}  // namespace platform::windowserver
