// The update check switch, the application's updater controller and the Dock-visibility rule
// on the simulated platform.
#include <gtest/gtest.h>

#include <sstream>
#include <thread>

#include "app/app_updater.hpp"
#include "app/diagnostics_updates.hpp"
#include "app/dock_visibility.hpp"
#include "foundation/settings.hpp"
#include "platform/bundle/bundle.hpp"
#include "platform/updater/updater_linux.hpp"
#include "support/menubar_hooks.hpp"
#include "support/platform_fixture.hpp"
#include "support/ui_updater_hooks.hpp"

namespace {

using platform::updater::Error;
using quorvel::testing::PlatformTest;
using quorvel::testing::simulatedAlerts;
using quorvel::testing::simulatedApplication;
using quorvel::testing::simulatedUpdater;

class UpdateCheckTest : public PlatformTest {
 protected:
  int run() {
    out.str("");
    return quorvel::diagnostics::runCheckForUpdates({"quorvel", "--check-for-updates"}, out);
  }
  std::string bundle() { return platform::bundle::Bundle::main().bundlePath(); }
  std::ostringstream out;
};

TEST_F(UpdateCheckTest, AFeedWithoutANewerVersionIsOKAndTheApplicationsOwnControllerIsNeverMade) {
  simulatedUpdater().setCycleResult(
      Error{platform::updater::kErrorDomain, 1001, "You're up to date!"});
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(out.str(),
            "OK: feed reachable, parsed, signature valid. No update available (expected, "
            "already current)\n");
  // The one updater made is the switch's own: it checks for information only.
  EXPECT_EQ(simulatedUpdater().events(),
            (std::vector<std::string>{
                "make host=" + bundle() + " app=" + bundle() + " driver=" + bundle(), "start",
                "check information", "finish SUSparkleErrorDomain 1001"}));
  EXPECT_EQ(simulatedUpdater().updatersMade(), 1);
  // The loop ran until the cycle ended, which the framework delivers later.
  EXPECT_DOUBLE_EQ(now(), 0.5);
  EXPECT_EQ(simulatedApplication().obtainedCount(), 1);
  EXPECT_TRUE(simulatedApplication().policyRequests().empty());
}

TEST_F(UpdateCheckTest, AVerifiedUpdateIsOKAndAnyOtherErrorFails) {
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(out.str(), "OK: update found and verified\n");
  // The "no update" code of another domain is a failure too.
  for (const Error& error :
       {Error{platform::updater::kErrorDomain, 3001, "The update is improperly signed."},
        Error{"NSCocoaErrorDomain", 1001, "Something else."}}) {
    simulatedUpdater().setCycleResult(error);
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(out.str(), "FAILED: " + error.localizedDescription + "\n");
  }
}

TEST_F(UpdateCheckTest, AnUpdaterThatCannotStartEndsAtOnceWithoutACheck) {
  simulatedUpdater().failStart(
      Error{platform::updater::kErrorDomain, 5, "The feed URL is not configured."});
  EXPECT_EQ(run(), 1);
  EXPECT_EQ(out.str(), "FAILED to start updater: The feed URL is not configured.\n");
  const auto events = simulatedUpdater().events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1], "start failed");
  EXPECT_EQ(scheduler().pendingCount(), 0u);
  // The linux framework reads the bundle's configuration, which this one lacks.
  platform::updater::install(platform::updater::makeLinuxUpdateFramework());
  EXPECT_EQ(run(), 1);
  EXPECT_EQ(out.str(), "FAILED to start updater: This build of Quorvel has no update feed configured.\n");
}

class AppUpdaterTest : public PlatformTest {};

TEST_F(AppUpdaterTest, ThreadsAccessingFirstGetOneStartedControllerThatTheMenuChecksThrough) {
  EXPECT_EQ(simulatedUpdater().updatersMade(), 0);
  platform::updater::StandardUpdaterController* seen[2] = {nullptr, nullptr};
  std::thread a([&] { seen[0] = &quorvel::AppUpdater::controller(); });
  std::thread b([&] { seen[1] = &quorvel::AppUpdater::controller(); });
  a.join();
  b.join();
  EXPECT_EQ(seen[0], seen[1]);
  EXPECT_EQ(seen[0], &quorvel::AppUpdater::controller());
  EXPECT_EQ(simulatedUpdater().updatersMade(), 1);
  EXPECT_EQ(simulatedUpdater().events().at(1), "start");
  EXPECT_FALSE(seen[0]->startError());
  seen[0]->checkForUpdates(nullptr);
  EXPECT_EQ(simulatedUpdater().events().back(), "check updates");
  advance(1);
  EXPECT_EQ(simulatedUpdater().events().back(), "finish ok");
}

TEST_F(AppUpdaterTest, AControllerThatFailedToStartKeepsItsErrorNeverChecksAndSaysWhy) {
  simulatedUpdater().failStart(Error{platform::updater::kErrorDomain, 4, "Bad feed URL."});
  auto& controller = quorvel::AppUpdater::controller();
  ASSERT_TRUE(controller.startError());
  EXPECT_FALSE(controller.updater().started());
  controller.checkForUpdates(nullptr);
  for (const auto& event : simulatedUpdater().events()) EXPECT_NE(event, "check updates");
  EXPECT_EQ(scheduler().pendingCount(), 0u);
  ASSERT_EQ(simulatedAlerts().shown().size(), 1u);
  EXPECT_EQ(simulatedAlerts().shown()[0].messageText, "Unable to Check For Updates");
  EXPECT_EQ(simulatedAlerts().shown()[0].informativeText, "Bad feed URL.");
}

class DockVisibilityTest : public PlatformTest {};

TEST_F(DockVisibilityTest, TheSettingReadAfreshShowsOrHidesTheDockIconAndMenuBarAtOnce) {
  EXPECT_EQ(quorvel::dockActivationPolicy(true), platform::ui::ActivationPolicy::regular);
  EXPECT_EQ(quorvel::dockActivationPolicy(false), platform::ui::ActivationPolicy::accessory);
  defaults().setBool("showInDock", false);  // written behind the settings' back
  quorvel::applyDockVisibility();
  EXPECT_EQ(simulatedApplication().activationPolicy(), platform::ui::ActivationPolicy::accessory);
  EXPECT_FALSE(simulatedApplication().showsDockIcon());
  EXPECT_FALSE(simulatedApplication().showsMenuBar());

  quorvel::Settings::shared().setShowInDock(true);
  quorvel::applyDockVisibility();
  EXPECT_EQ(simulatedApplication().activationPolicy(), platform::ui::ActivationPolicy::regular);
  EXPECT_TRUE(simulatedApplication().showsDockIcon());
  EXPECT_TRUE(simulatedApplication().showsMenuBar());
  EXPECT_EQ(simulatedApplication().policyRequests(), (std::vector<std::string>{"accessory", "regular"}));
}

}  // namespace
