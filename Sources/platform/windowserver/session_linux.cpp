#include "platform/windowserver/session_linux.hpp"

#include "platform/logind/login_session.hpp"

namespace platform::windowserver {

std::optional<SessionDictionary> LinuxSessionSource::copyCurrentDictionary() {
  const auto locked = logind::LoginSession::shared()->lockedHint();
  if (!locked) return std::nullopt;
  return SessionDictionary{{kSessionScreenIsLockedKey, SessionValue(*locked)}};
}

}  // namespace platform::windowserver
