// Tests of the Linux session layers: a live login session (support/session_buses.hpp) and
// the Linux implementations of the session's platform areas installed over the simulated
// machine, on virtual time, with the buses answering from their own threads.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "platform/accessibility/accessibility_linux.hpp"
#include "platform/codesign/codesign_linux.hpp"
#include "platform/events/events_linux.hpp"
#include "platform/logind/login_session.hpp"
#include "platform/notifications/notifications_linux.hpp"
#include "platform/power/power_linux.hpp"
#include "platform/processes/processes_linux.hpp"
#include "platform/windowserver/session_linux.hpp"
#include "platform/workspace/applications_linux.hpp"
#include "support/platform_fixture.hpp"
#include "support/session_buses.hpp"

namespace quorvel::testing {

// A method body (Python, for SessionBuses::replaceManagerMethod) that refuses the caller.
inline constexpr const char* kAccessDenied =
    "raise dbus.exceptions.DBusException('no', name='org.freedesktop.DBus.Error.AccessDenied')";

inline void installLinuxSessionLayers() {
  namespace notes = platform::notifications;
  using Role = notes::LinuxNotificationCenter::Role;
  notes::installDistributedCenter(std::make_shared<notes::LinuxNotificationCenter>(Role::distributed));
  notes::installWorkspaceCenter(std::make_shared<notes::LinuxNotificationCenter>(Role::workspace));
  platform::windowserver::installSessionSource(std::make_shared<platform::windowserver::LinuxSessionSource>());
  platform::workspace::installRunningApplications(std::make_shared<platform::workspace::LinuxRunningApplications>());
  platform::processes::install(std::make_shared<platform::processes::LinuxProcesses>());
  platform::codesign::install(std::make_shared<platform::codesign::LinuxCodeSigning>());
  platform::events::install(std::make_shared<platform::events::LinuxEvents>());
  platform::accessibility::install(std::make_shared<platform::accessibility::LinuxAccessibility>());
  platform::power::install(std::make_shared<platform::power::LinuxPowerManagement>());
}

class SessionTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    buses_ = std::make_unique<SessionBuses>(home() + "/session");
    ASSERT_TRUE(buses_->start()) << "private buses, logind or the lock screen did not start";
    installLinuxSessionLayers();
    ASSERT_TRUE(platform::logind::LoginSession::shared()->session()) << "logind named no session";
  }
  void TearDown() override {
    PlatformTest::TearDown();  // the layers let go of the buses first
    buses_.reset();
  }

  SessionBuses& buses() { return *buses_; }
  // Runs the main queue until `condition` holds (real time, at most `timeout` seconds).
  bool pump(const std::function<bool()>& condition, double timeout = 10) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
    for (runUntilIdle(); !condition(); runUntilIdle()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    return true;
  }
  // Runs the main queue for a moment, so that whatever is still under way arrives.
  void settle() { pump([] { return false; }, 0.3); }

 private:
  std::unique_ptr<SessionBuses> buses_;
};

}  // namespace quorvel::testing
