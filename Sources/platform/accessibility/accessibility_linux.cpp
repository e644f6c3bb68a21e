#include "platform/accessibility/accessibility_linux.hpp"

#include "platform/logind/login_session.hpp"
#include "platform/pam/pam.hpp"

namespace platform::accessibility {

namespace {
// Application elements are numbered from here by process identifier.
constexpr std::uint64_t kApplicationBase = 1'000'000;
}  // namespace

bool LinuxAccessibility::isProcessTrusted() {
  const auto session = logind::LoginSession::shared()->session();
  return session && pam::isAvailable(logind::kPamService, session->user);
}

Element LinuxAccessibility::createApplication(std::int32_t pid) {
  // A reference that names the application; every call about it is refused.
  return Element{kApplicationBase + static_cast<std::uint64_t>(static_cast<std::uint32_t>(pid))};
}

}  // namespace platform::accessibility
