// The entry's switch table (which switch wins, that each reaches its body with that body's exit
// status, and that only a command line without switches starts the application), and the
// delegate's launch sequence on the simulated machine: main menu, updater, activation policy,
// first-run tutorial, services, the lock monitor's callbacks and the start line.
#include <algorithm>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/app_delegate.hpp"
#include "app/app_start.hpp"
#include "app/entry.hpp"
#include "foundation/settings.hpp"
#include "onboarding/tutorial_controller.hpp"
#include "overlay/lock_screen_overlay.hpp"
#include "platform/notifications/notifications.hpp"
#include "platform/uuid/uuid.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "support/platform_fixture.hpp"
#include "support/simulated_lock_machine.hpp"
#include "support/ui_updater_hooks.hpp"
#include "unlock/authorization_assist.hpp"
#include "unlock/lock_monitor.hpp"

namespace quorvel {
// Reaches the assist's private state: whether it still holds a scan token and the overlay.
struct AuthorizationAssistInspection {
  static void holdTokenAndOverlay(AuthorizationAssist& assist) {
    assist.token_ = platform::uuid::UUID();
    assist.ownsOverlay_ = true;
  }
  static bool holdsToken(const AuthorizationAssist& assist) { return assist.token_.has_value(); }
};
}  // namespace quorvel

namespace {

using quorvel::entrySwitches;
using quorvel::runEntry;
using quorvel::selectedSwitch;

class EntryTest : public quorvel::testing::PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    quorvel::setApplicationStartForTesting([this] {
      ++applicationStarts;
      return 42;
    });
  }
  void TearDown() override {
    quorvel::setApplicationStartForTesting(nullptr);
    PlatformTest::TearDown();
  }
  int run(std::vector<std::string> args) {
    args.insert(args.begin(), "quorvel");
    output.str("");
    return runEntry(args, output);
  }
  int applicationStarts = 0;
  std::ostringstream output;
};

TEST(EntrySwitchTable, TestsTheSwitchesInTheirFixedOrder) {
  const std::vector<std::string> expected = {
      "--authorization-probe",    "--authorization-diagnostic", "--self-test",
      "--request-camera",         "--diagnose-storage",         "--render-animation",
      "--preview-animation",      "--check-for-updates",        "--diagnose-palm",
      "--diagnose-camera",        "--diagnose-alignment",       "--diagnose-on-native-crop",
      "--check"};
  EXPECT_EQ(entrySwitches(), expected);
  // Every pair: the earlier switch of the table wins whatever the argument order.
  for (std::size_t i = 0; i < expected.size(); ++i) {
    for (std::size_t j = i + 1; j < expected.size(); ++j) {
      std::vector<std::string> args = {"quorvel", expected[j], expected[i], "out.png"};
      EXPECT_EQ(selectedSwitch(args), expected[i]) << expected[i] << " vs " << expected[j];
    }
  }
  // A render without a path is no switch, so it never wins.
  EXPECT_EQ(selectedSwitch({"quorvel", "--preview-animation", "--render-animation"}), "--preview-animation");
}

// Each switch reaches its own body, the earlier one of two, with that body's exit status; only a
// command line without switches starts the application (whose status is 42 here). Modifiers,
// another case, attached values and a render without a path are not switches.
TEST_F(EntryTest, ASwitchRunsItsBodyAndAnswersItsStatusOtherwiseTheApplicationStarts) {
  const std::string png = home() + "/panel.png";
  const struct {
    std::vector<std::string> args;
    int status;
    const char* printed;     // part of the output ("": anything)
    const char* notPrinted;  // never part of it (nullptr: no such text)
  } cases[] = {
      {{}, 42, "", nullptr},
      {{"--palm"}, 42, "", nullptr},
      {{"--render-animation"}, 42, "", nullptr},
      {{"--Check", "--self-test=1"}, 42, "", nullptr},
      {{"--dummy-field-check", "--check=yes", "check", "--CHECK"}, 42, "", nullptr},
      {{"--check"}, 0, "Ready to unlock", nullptr},
      // The crop diagnostic comes before the checklist: its usage error, not the checklist.
      {{"--check", "--diagnose-on-native-crop"}, 1, "usage: --diagnose-on-native-crop", "Ready to unlock"},
      // The alignment diagnostic comes before the crop diagnostic.
      {{"--diagnose-on-native-crop", "--diagnose-alignment"}, 1, "", "usage: --diagnose-on-native-crop"},
      {{"--render-animation", png}, 0, "Rendered notch", nullptr},
      {{"--authorization-diagnostic", "--check"}, 0, "", "Ready to unlock"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(run(c.args), c.status) << ::testing::PrintToString(c.args) << "\n" << output.str();
    EXPECT_NE(output.str().find(c.printed), std::string::npos) << output.str();
    if (c.notPrinted) {
      EXPECT_EQ(output.str().find(c.notPrinted), std::string::npos) << output.str();
    }
    if (c.status == 42) {
      EXPECT_EQ(output.str(), "");  // the entry itself prints nothing
    }
  }
  EXPECT_TRUE(std::filesystem::exists(png));
  EXPECT_EQ(applicationStarts, 5);
}

using quorvel::AppDelegate;
using quorvel::AuthorizationAssist;
using quorvel::AuthorizationAssistInspection;
using quorvel::testing::lockMachine;
using quorvel::testing::simulatedApplication;
using quorvel::testing::simulatedUpdater;
using Policy = platform::ui::ActivationPolicy;

// The coordinator's answer to a lock when it is not ready (whatever blocks it).
constexpr const char* kNotAttempting = "Not attempting unlock: ";

class AppDelegateTest : public quorvel::testing::PlatformTest {
 protected:
  std::size_t count(const std::string& category, const std::string& prefix) {
    std::size_t found = 0;
    for (const auto& line : logs().messages(category)) found += line.rfind(prefix, 0) == 0;
    return found;
  }
  void SetUp() override {
    PlatformTest::SetUp();
    delegate = std::make_unique<AppDelegate>();
  }
  void TearDown() override {
    delegate.reset();
    PlatformTest::TearDown();
  }
  // Made after the simulated platform is installed: its menu-bar controller reads it.
  std::unique_ptr<AppDelegate> delegate;
};

TEST_F(AppDelegateTest, LaunchBuildsTheMenusStartsTheUpdaterLogsTheStartLineLastOpensTheTutorialAndReopenToggles) {
  quorvel::Settings::shared().setHasSeenWelcome(false);
  quorvel::Settings::shared().setShowInDock(false);
  EXPECT_TRUE(delegate->mainMenu().empty());
  EXPECT_EQ(delegate->menuBar()->statusItem(), nullptr);
  delegate->applicationDidFinishLaunching();
  const auto& menu = delegate->mainMenu();
  const auto rows = [](const auto& items) {
    std::vector<std::string> result;
    for (const auto& item : items) result.push_back(item.title + "|" + item.action + "|" + item.keyEquivalent);
    return result;
  };
  ASSERT_EQ(menu.size(), 2u);
  EXPECT_EQ(menu[0].title, "");
  EXPECT_EQ(rows(menu[0].items), (std::vector<std::string>{"About Quorvel|orderFrontStandardAboutPanel:|", "||",
                                                           "Quit Quorvel|terminate:|q"}));
  EXPECT_TRUE(menu[0].items[1].isSeparator());
  EXPECT_EQ(menu[1].title, "Edit");
  EXPECT_EQ(rows(menu[1].items), (std::vector<std::string>{"Undo|undo:|z", "Redo|redo:|Z", "||", "Cut|cut:|x",
                                                           "Copy|copy:|c", "Paste|paste:|v",
                                                           "Select All|selectAll:|a"}));
  EXPECT_NE(delegate->menuBar()->statusItem(), nullptr);
  const auto events = simulatedUpdater().events();
  EXPECT_NE(std::find(events.begin(), events.end(), "start"), events.end());
  const auto entries = logs().entries();
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(entries.back().category, "app");
  EXPECT_EQ(entries.back().level, platform::log::Level::Info);
  // The overlay was prepared before the line, which reports its state.
  ASSERT_TRUE(quorvel::LockScreenOverlay::shared().available());
  EXPECT_EQ(entries.back().message, "Quorvel started (overlay available: true)");
  EXPECT_FALSE(delegate->applicationShouldTerminateAfterLastWindowClosed());
  EXPECT_TRUE(delegate->applicationSupportsSecureRestorableState());

  // The activation policy follows the Dock setting (changes to it: the application start test).
  EXPECT_EQ(simulatedApplication().activationPolicy(), Policy::accessory);
  // On the first run the tutorial opens six tenths of a second after launch.
  advance(0.59);
  EXPECT_EQ(quorvel::TutorialController::shared().window(), nullptr);
  advance(0.02);
  EXPECT_NE(quorvel::TutorialController::shared().window(), nullptr);

  // A reopen toggles the panel only without visible windows: visible windows, then whether the
  // panel is shown after the reopen.
  for (const auto& [visible, shown] : {std::pair{true, false}, {false, true}, {true, true}, {false, false}}) {
    EXPECT_TRUE(delegate->applicationShouldHandleReopen(visible));
    const auto& popover = delegate->menuBar()->popover();
    EXPECT_EQ(popover && popover->isShown(), shown) << visible;
  }
}

// Notes, for each coordinator line, whether the assist still held its token at that moment.
class AssistWatchingSink : public platform::log::Sink {
 public:
  explicit AssistWatchingSink(std::shared_ptr<platform::log::Sink> next) : next_(std::move(next)) {}
  void write(const platform::log::Entry& entry) override {
    if (entry.category == "unlock" && entry.message.rfind(kNotAttempting, 0) == 0) {
      heldAtCoordinator.push_back(
          AuthorizationAssistInspection::holdsToken(AuthorizationAssist::shared()));
    }
    next_->write(entry);
  }
  std::vector<bool> heldAtCoordinator;
  const std::shared_ptr<platform::log::Sink>& next() const { return next_; }

 private:
  std::shared_ptr<platform::log::Sink> next_;
};

TEST_F(AppDelegateTest, LocksReachTheCoordinatorOnlyAfterLaunchAndAfterTheAssistIsCancelled) {
  namespace notes = platform::notifications;
  int earlier = 0;
  auto& monitor = quorvel::LockMonitor::shared();
  monitor.onLock = [&earlier] { ++earlier; };
  lockMachine().distributed().post(notes::kScreenIsLocked);
  runUntilIdle();
  lockMachine().distributed().post(notes::kScreenIsUnlocked);
  runUntilIdle();
  EXPECT_EQ(count("unlock", kNotAttempting), 0u);

  delegate->applicationDidFinishLaunching();
  ASSERT_TRUE(monitor.onLock && monitor.onSleep && monitor.onUnlock && monitor.onWake);
  auto sink = std::make_shared<AssistWatchingSink>(platform::log::currentSink());
  platform::log::installSink(sink);
  AuthorizationAssistInspection::holdTokenAndOverlay(AuthorizationAssist::shared());
  lockMachine().distributed().post(notes::kScreenIsLocked);
  runUntilIdle();
  EXPECT_EQ(earlier, 0);  // the delegate's callbacks replaced it
  EXPECT_EQ(sink->heldAtCoordinator, std::vector<bool>{false});
  EXPECT_FALSE(AuthorizationAssistInspection::holdsToken(AuthorizationAssist::shared()));

  // Sleep cancels too and attempts nothing; a wake is a fresh lock that leaves the assist be.
  AuthorizationAssistInspection::holdTokenAndOverlay(AuthorizationAssist::shared());
  monitor.onSleep();
  EXPECT_FALSE(AuthorizationAssistInspection::holdsToken(AuthorizationAssist::shared()));
  AuthorizationAssistInspection::holdTokenAndOverlay(AuthorizationAssist::shared());
  monitor.onWake();
  EXPECT_TRUE(AuthorizationAssistInspection::holdsToken(AuthorizationAssist::shared()));
  EXPECT_EQ(sink->heldAtCoordinator, (std::vector<bool>{false, true}));
  monitor.onUnlock();  // attempts nothing either
  EXPECT_EQ(count("unlock", kNotAttempting), 2u);
  platform::log::installSink(sink->next());
}

TEST_F(AppDelegateTest, ApplicationStartRunsTheLaunchSequenceOnTheRunLoop) {
  quorvel::Settings::shared().setHasSeenWelcome(true);
  quorvel::Settings::shared().setShowInDock(true);
  simulatedApplication().setActivationPolicy(Policy::accessory);
  EXPECT_EQ(quorvel::applicationDelegate(), nullptr);
  // The run loop ends when the application terminates (here a second after launch).
  platform::dispatch::mainQueue().asyncAfter(1.0, [] { platform::dispatch::stopMainLoop(7); });
  EXPECT_EQ(quorvel::startApplication(), 7);
  ASSERT_NE(quorvel::applicationDelegate(), nullptr);
  EXPECT_EQ(quorvel::applicationDelegate()->mainMenu().size(), 2u);
  EXPECT_TRUE(logs().contains("Quorvel started (overlay available: true)"));
  // Past the tutorial's 0.6 s: once seen, it stays closed.
  EXPECT_EQ(quorvel::TutorialController::shared().window(), nullptr);
  // Shown in the Dock from launch; the menu's Dock switch applies the policy through this delegate.
  EXPECT_EQ(simulatedApplication().activationPolicy(), Policy::regular);
  quorvel::applicationDelegate()->menuBar()->toggleDockIcon();
  EXPECT_EQ(simulatedApplication().activationPolicy(), Policy::accessory);
}

// A start that finds the application running in the session hands over and ends, having
// started nothing; the running one, reopened by a later start, opens its panel.
TEST_F(AppDelegateTest, ALaterStartHandsOverAndTheRunningOneOpensItsPanel) {
  quorvel::Settings::shared().setHasSeenWelcome(true);
  simulatedApplication().setClaimAnswer(platform::ui::InstanceClaim::handedOver);
  EXPECT_EQ(quorvel::startApplication(), 0);
  EXPECT_EQ(quorvel::applicationDelegate(), nullptr);
  EXPECT_TRUE(logs().contains("Quorvel is already running; it was asked to show itself"));

  simulatedApplication().setClaimAnswer(platform::ui::InstanceClaim::first);
  simulatedApplication().startAgain();  // while the first claims: answered after its launch
  platform::dispatch::mainQueue().asyncAfter(1.0, [] { platform::dispatch::stopMainLoop(0); });
  EXPECT_EQ(quorvel::startApplication(), 0);
  EXPECT_EQ(simulatedApplication().claimCount(), 2);
  const auto& popover = quorvel::applicationDelegate()->menuBar()->popover();
  EXPECT_TRUE(popover && popover->isShown());
  EXPECT_EQ(simulatedApplication().activations(), std::vector<std::string>{"activate ignoringOtherApps=true"});
  // With a window shown, a reopen leaves the panel as it is.
  simulatedApplication().setHasVisibleWindows(true);
  simulatedApplication().startAgain();
  platform::dispatch::mainQueue().asyncAfter(1.0, [] { platform::dispatch::stopMainLoop(0); });
  platform::dispatch::runMainLoop();
  EXPECT_TRUE(popover && popover->isShown());
}

}  // namespace
