#include "session/linux_session.hpp"

#include "platform/accessibility/accessibility.hpp"
#include "platform/codesign/codesign.hpp"
#include "platform/events/events.hpp"
#include "platform/notifications/notifications.hpp"
#include "platform/power/power.hpp"
#include "platform/processes/processes.hpp"
#include "platform/windowserver/session.hpp"
#include "platform/workspace/applications.hpp"

namespace quorvel::testing {

LinuxSession::LinuxSession(const std::string& folder, bool withLockScreen) : buses_(folder) {
  ready_ = buses_.start() && buses_.startLogind(kOwnSession);
  if (!ready_) return;
  buses_.addSession(kOwnSession, static_cast<std::uint32_t>(::getuid()), userName());
  buses_.addSession(kOtherSession, kOtherUser, "other");
  if (withLockScreen) ready_ = buses_.startLockScreen(kOwnSession);
}

void LinuxSession::installLinuxLayers() {
  namespace notes = platform::notifications;
  notes::installDistributedCenter(
      std::make_shared<notes::LinuxNotificationCenter>(notes::LinuxNotificationCenter::Role::distributed));
  notes::installWorkspaceCenter(
      std::make_shared<notes::LinuxNotificationCenter>(notes::LinuxNotificationCenter::Role::workspace));
  platform::windowserver::installSessionSource(std::make_shared<platform::windowserver::LinuxSessionSource>());
  platform::workspace::installRunningApplications(std::make_shared<platform::workspace::LinuxRunningApplications>());
  platform::processes::install(std::make_shared<platform::processes::LinuxProcesses>());
  platform::codesign::install(std::make_shared<platform::codesign::LinuxCodeSigning>());
  platform::events::install(std::make_shared<platform::events::LinuxEvents>());
  platform::accessibility::install(std::make_shared<platform::accessibility::LinuxAccessibility>());
  platform::power::install(std::make_shared<platform::power::LinuxPowerManagement>());
}

}  // namespace quorvel::testing
