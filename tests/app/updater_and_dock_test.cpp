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
#include "support/platform_fixture.hpp"
#include "platform/windows/windows.hpp"
#include "support/ui_updater_hooks.hpp"

// After the log header: Qt defines keyword macros.
#include <QWindow>

namespace {

using platform::updater::Error;
using quorvel::testing::PlatformTest;
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

TEST_F(UpdateCheckTest, AFeedWithoutANewerVersionIsOK) {
  simulatedUpdater().setCycleResult(
      Error{platform::updater::kErrorDomain, 1001, "You're up to date!"});
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(out.str(),
            "OK: feed reachable, parsed, signature valid. No update available (expected, "
            "already current)\n");
  EXPECT_EQ(simulatedUpdater().events(),
            (std::vector<std::string>{
                "make host=" + bundle() + " app=" + bundle() + " driver=" + bundle(), "start",
                "check information", "finish SUSparkleErrorDomain 1001"}));
  // The loop ran until the cycle ended, which the framework delivers later.
  EXPECT_DOUBLE_EQ(now(), 0.5);
  EXPECT_EQ(simulatedApplication().obtainedCount(), 1);
  EXPECT_TRUE(simulatedApplication().policyRequests().empty());
}

TEST_F(UpdateCheckTest, AnUpdateThatVerifiesIsOK) {
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(out.str(), "OK: update found and verified\n");
}

TEST_F(UpdateCheckTest, AnyOtherErrorFails) {
  simulatedUpdater().setCycleResult(
      Error{platform::updater::kErrorDomain, 3001, "The update is improperly signed."});
  EXPECT_EQ(run(), 1);
  EXPECT_EQ(out.str(), "FAILED: The update is improperly signed.\n");

  simulatedUpdater().setCycleResult(
      Error{"NSURLErrorDomain", -1003, "A server with the specified hostname could not be found."});
  EXPECT_EQ(run(), 1);
  EXPECT_EQ(out.str(), "FAILED: A server with the specified hostname could not be found.\n");
}

TEST_F(UpdateCheckTest, CodeNoUpdateOfAnotherDomainIsAFailure) {
  simulatedUpdater().setCycleResult(Error{"NSCocoaErrorDomain", 1001, "Something else."});
  EXPECT_EQ(run(), 1);
  EXPECT_EQ(out.str(), "FAILED: Something else.\n");
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
}

TEST_F(UpdateCheckTest, OnLinuxTheMissingFrameworkCannotStart) {
  platform::updater::install(platform::updater::makeLinuxUpdateFramework());
  EXPECT_EQ(run(), 1);
  EXPECT_EQ(out.str(),
            "FAILED to start updater: The update framework is not available on this system.\n");
}

TEST_F(UpdateCheckTest, TheApplicationsOwnControllerIsNeverMade) {
  simulatedUpdater().setCycleResult(Error{platform::updater::kErrorDomain, 1001, "current"});
  run();
  EXPECT_EQ(simulatedUpdater().updatersMade(), 1);
  // The one made is the switch's own: it checks for information only, never with interface.
  for (const auto& event : simulatedUpdater().events()) EXPECT_NE(event, "check updates");
}

class AppUpdaterTest : public PlatformTest {};

TEST_F(AppUpdaterTest, TheControllerIsMadeAndStartedOnceOnFirstAccess) {
  EXPECT_EQ(simulatedUpdater().updatersMade(), 0);
  auto& first = quorvel::AppUpdater::controller();
  auto& second = quorvel::AppUpdater::controller();
  EXPECT_EQ(&first, &second);
  EXPECT_EQ(simulatedUpdater().updatersMade(), 1);
  const auto events = simulatedUpdater().events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1], "start");
  EXPECT_FALSE(first.startError());
}

TEST_F(AppUpdaterTest, TwoThreadsAccessingFirstGetOneController) {
  platform::updater::StandardUpdaterController* seen[2] = {nullptr, nullptr};
  std::thread a([&] { seen[0] = &quorvel::AppUpdater::controller(); });
  std::thread b([&] { seen[1] = &quorvel::AppUpdater::controller(); });
  a.join();
  b.join();
  EXPECT_EQ(seen[0], seen[1]);
  EXPECT_EQ(simulatedUpdater().updatersMade(), 1);
}

TEST_F(AppUpdaterTest, TheMenusCheckGoesToTheStartedUpdater) {
  quorvel::AppUpdater::controller().checkForUpdates(nullptr);
  EXPECT_EQ(simulatedUpdater().events().back(), "check updates");
  advance(1);
  EXPECT_EQ(simulatedUpdater().events().back(), "finish ok");
}

TEST_F(AppUpdaterTest, OnLinuxTheControllerKeepsItsStartErrorAndNeverChecks) {
  platform::updater::install(platform::updater::makeLinuxUpdateFramework());
  auto& controller = quorvel::AppUpdater::controller();
  ASSERT_TRUE(controller.startError());
  EXPECT_EQ(controller.startError()->localizedDescription,
            platform::updater::kUnavailableDescription);
  EXPECT_FALSE(controller.updater().started());
  controller.checkForUpdates(nullptr);  // nothing happens, nothing breaks
  EXPECT_EQ(scheduler().pendingCount(), 0u);
}

TEST_F(AppUpdaterTest, AFailedStartLeavesTheControllerUnableToCheck) {
  simulatedUpdater().failStart(Error{platform::updater::kErrorDomain, 4, "Bad feed URL."});
  auto& controller = quorvel::AppUpdater::controller();
  ASSERT_TRUE(controller.startError());
  controller.checkForUpdates(nullptr);
  for (const auto& event : simulatedUpdater().events()) EXPECT_NE(event, "check updates");
}

class DockVisibilityTest : public PlatformTest {};

TEST_F(DockVisibilityTest, TheSettingShowsOrHidesTheDockIconAndMenuBarAtOnce) {
  auto& settings = quorvel::Settings::shared();
  settings.setShowInDock(false);
  quorvel::applyDockVisibility();
  EXPECT_EQ(simulatedApplication().activationPolicy(), platform::ui::ActivationPolicy::accessory);
  EXPECT_FALSE(simulatedApplication().showsDockIcon());
  EXPECT_FALSE(simulatedApplication().showsMenuBar());

  settings.setShowInDock(true);
  quorvel::applyDockVisibility();
  EXPECT_EQ(simulatedApplication().activationPolicy(), platform::ui::ActivationPolicy::regular);
  EXPECT_TRUE(simulatedApplication().showsDockIcon());
  EXPECT_TRUE(simulatedApplication().showsMenuBar());
  EXPECT_EQ(simulatedApplication().policyRequests(),
            (std::vector<std::string>{"accessory", "regular"}));
}

TEST_F(DockVisibilityTest, TheSettingIsReadAfreshEachTime) {
  defaults().setBool("showInDock", false);
  quorvel::applyDockVisibility();
  EXPECT_FALSE(simulatedApplication().showsDockIcon());
  defaults().setBool("showInDock", true);  // written behind the settings' back
  quorvel::applyDockVisibility();
  EXPECT_TRUE(simulatedApplication().showsDockIcon());
}

TEST_F(DockVisibilityTest, TheLaunchRuleIsTheSame) {
  EXPECT_EQ(quorvel::dockActivationPolicy(true), platform::ui::ActivationPolicy::regular);
  EXPECT_EQ(quorvel::dockActivationPolicy(false), platform::ui::ActivationPolicy::accessory);
}

TEST_F(DockVisibilityTest, TheLinuxApplicationTakesThePolicyWithoutStartingQt) {
  auto onLinux = platform::ui::makeLinuxApplication();
  platform::ui::install(onLinux);
  quorvel::Settings::shared().setShowInDock(false);
  quorvel::applyDockVisibility();
  EXPECT_EQ(onLinux->activationPolicy(), platform::ui::ActivationPolicy::accessory);
  quorvel::Settings::shared().setShowInDock(true);
  quorvel::applyDockVisibility();
  EXPECT_EQ(onLinux->activationPolicy(), platform::ui::ActivationPolicy::regular);
}

TEST_F(DockVisibilityTest, OnLinuxAnAccessoryKeepsItsWindowsOutOfTheTaskBar) {
  // The windows themselves: tests/desktop.
  platform::ui::install(platform::ui::makeLinuxApplication());
  quorvel::Settings::shared().setShowInDock(false);
  quorvel::applyDockVisibility();
  EXPECT_FALSE(platform::windows::listedInTaskbar());
  quorvel::Settings::shared().setShowInDock(true);
  quorvel::applyDockVisibility();
  EXPECT_TRUE(platform::windows::listedInTaskbar());
}

}  // namespace
