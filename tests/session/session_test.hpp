// Tests of the Linux session layers: a live login session (linux_session.hpp) and the Linux
// implementations installed, on virtual time, with the real buses answering from their own
// threads.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "platform/logind/login_session.hpp"
#include "session/linux_session.hpp"
#include "support/platform_fixture.hpp"

namespace quorvel::testing {

class SessionTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    session_ = std::make_unique<LinuxSession>(home() + "/session");
    ASSERT_TRUE(session_->ready()) << "private buses, logind or the lock screen did not start";
    LinuxSession::installLinuxLayers();
    ASSERT_TRUE(platform::logind::LoginSession::shared()->session()) << "logind named no session";
  }
  void TearDown() override {
    PlatformTest::TearDown();  // the layers let go of the buses first
    session_.reset();
  }

  SessionBuses& buses() { return session_->buses(); }
  // Runs the main queue until `condition` holds (real time, at most `timeout` seconds).
  bool pump(const std::function<bool()>& condition, double timeout = 10) {
    return waitUntil(
        [&] {
          runUntilIdle();
          return condition();
        },
        timeout);
  }
  // Runs the main queue for a moment, so that whatever is still under way arrives.
  void settle(double seconds = 0.3) {
    pump([] { return false; }, seconds);
  }
  // Error lines of the session layers.
  std::size_t sessionErrors() {
    std::size_t count = 0;
    for (const auto& entry : logs().entries()) {
      count += entry.subsystem == "com.tessmin.quorvel.linux" && entry.level == platform::log::Level::Error;
    }
    return count;
  }

 private:
  std::unique_ptr<LinuxSession> session_;
};

}  // namespace quorvel::testing
