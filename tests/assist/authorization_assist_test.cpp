// The authorization assist as this build has it: off, unavailable, a start that does nothing
// and a cancel step that finds nothing to cancel on every lock and sleep; the guarded order
// in which a password would be written into a dialog.
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "overlay/lock_screen_overlay.hpp"
#include "platform/defaults/defaults.hpp"
#include "recognition/camera_session.hpp"
#include "support/platform_fixture.hpp"
#include "support/recognition_input_hooks.hpp"
#include "support/simulated_lock_machine.hpp"
#include "support/simulated_screens.hpp"
#include "support/simulated_security_agent.hpp"
#include "unlock/authorization_assist.hpp"
#include "unlock/authorization_target.hpp"
#include "unlock/lock_monitor.hpp"

namespace quorvel {

// Reaches the assist's private state, which nothing in this build sets, to check what its
// cancel step and status do when there is something to act on.
struct AuthorizationAssistInspection {
  using FaceScan = AuthorizationAssist::AuthorizationFaceScan;
  static void giveFaceScan(AuthorizationAssist& assist, std::shared_ptr<CameraSession> camera) {
    assist.scanner_ = std::make_unique<FaceScan>(std::move(camera), RecognitionEngine::dlib,
                                                 std::vector<FaceDescriptor>{});
  }
  static UnlockSession* faceScanSession(AuthorizationAssist& assist) {
    return assist.scanner_ ? &assist.scanner_->session : nullptr;
  }
  static bool hasFaceScan(const AuthorizationAssist& assist) { return assist.scanner_ != nullptr; }
  static void setToken(AuthorizationAssist& assist) { assist.token_ = platform::uuid::UUID(); }
  static bool hasToken(const AuthorizationAssist& assist) { return assist.token_.has_value(); }
  static void setField(AuthorizationAssist& assist, platform::accessibility::Element field) { assist.field_ = field; }
  static bool hasField(const AuthorizationAssist& assist) { return assist.field_.has_value(); }
  static void setOwnsOverlay(AuthorizationAssist& assist, bool owns) { assist.ownsOverlay_ = owns; }
  static bool ownsOverlay(const AuthorizationAssist& assist) { return assist.ownsOverlay_; }
  static void setDeadline(AuthorizationAssist& assist, double deadline) { assist.deadline_ = deadline; }
  static double deadline(const AuthorizationAssist& assist) { return assist.deadline_; }
  static void setTimer(AuthorizationAssist& assist, std::shared_ptr<platform::dispatch::Timer> timer) {
    assist.timer_ = std::move(timer);
  }
  static bool hasTimer(const AuthorizationAssist& assist) { return assist.timer_ != nullptr; }
  static void setAttempted(AuthorizationAssist& assist, std::shared_ptr<const AuthorizationTarget> target) {
    assist.attempted_ = std::move(target);
  }
  static bool hasAttempted(const AuthorizationAssist& assist) { return assist.attempted_ != nullptr; }
  static void setStatus(AuthorizationAssist& assist, const std::string& status) { assist.setStatus(status); }
};

}  // namespace quorvel

namespace {

using quorvel::AuthorizationAssist;
using quorvel::AuthorizationAssistInspection;
using quorvel::LockScreenOverlay;
using quorvel::testing::lockMachine;
using quorvel::testing::machine;
using quorvel::testing::SimulatedSecurityAgent;
namespace AuthorizationSubmission = quorvel::AuthorizationSubmission;

// User defaults that remember every key read.
class ReadRecordingDefaults : public platform::defaults::MemoryUserDefaults {
 public:
  std::optional<platform::defaults::Value> persistentObject(const std::string& key) const override {
    reads.push_back(key);
    return MemoryUserDefaults::persistentObject(key);
  }
  mutable std::vector<std::string> reads;
};

class AuthorizationAssistTest : public quorvel::testing::PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    recording_ = std::make_shared<ReadRecordingDefaults>();
    platform::defaults::installStandard(recording_);
  }
  AuthorizationAssist& assist() { return AuthorizationAssist::shared(); }
  LockScreenOverlay& overlay() { return LockScreenOverlay::shared(); }
  platform::windows::Panel* panel() {
    const auto numbers = machine().windows->windowNumbers();
    return numbers.empty() ? nullptr : machine().windows->panel(numbers.front());
  }
  bool overlayShown() { return panel() && panel()->alphaValue() == 1; }
  std::size_t keyReads() const {
    std::size_t count = 0;
    for (const auto& key : recording_->reads) count += key == AuthorizationAssist::localTestKey;
    return count;
  }
  std::shared_ptr<ReadRecordingDefaults> recording_;
};

// --- switched off --------------------------------------------------------------------------

// The setter writes the local test key, which nothing reads: the assist stays off.
TEST_F(AuthorizationAssistTest, IsNeitherEnabledNorAvailableWhateverTheSetterWrites) {
  EXPECT_FALSE(AuthorizationAssist::available());
  const auto stored = [this] { return *recording_->persistentObject("authorizationAssistLocalTest"); };
  AuthorizationAssist::setEnabled(true);
  EXPECT_EQ(stored(), platform::defaults::Value(true));
  EXPECT_FALSE(AuthorizationAssist::enabled());
  AuthorizationAssist::setEnabled(false);
  EXPECT_EQ(stored(), platform::defaults::Value(false));
  // A toggle reads false, so it always writes true.
  for (int i = 0; i < 2; ++i) {
    AuthorizationAssist::setEnabled(!AuthorizationAssist::enabled());
    EXPECT_EQ(stored(), platform::defaults::Value(true));
  }
  EXPECT_FALSE(AuthorizationAssist::enabled());
  EXPECT_EQ(assist().status(), "Off");
}

// With the key set and a dialog waiting, a start touches neither the dialog, the camera, the
// overlay nor the clock, and nothing reads the key.
TEST_F(AuthorizationAssistTest, StartDoesNothingAndNothingReadsTheLocalTestKey) {
  recording_->setBool(AuthorizationAssist::localTestKey, true);
  recording_->reads.clear();
  SimulatedSecurityAgent agent(lockMachine());
  auto& dialog = agent.showDialog();
  const auto cameraSessions = quorvel::testing::simulatedCamera().sessionsMade();
  assist().start();
  assist().start();
  EXPECT_EQ(scheduler().pendingCount(), 0u);
  runUntilIdle();
  EXPECT_TRUE(logs().entries().empty());
  EXPECT_EQ(agent.ui().queryCount(agent.pid()), 0u);
  EXPECT_TRUE(agent.ui().performed().empty());
  EXPECT_TRUE(agent.ui().writes().empty());
  EXPECT_FALSE(dialog.passwordMode);
  EXPECT_EQ(quorvel::testing::simulatedCamera().sessionsMade(), cameraSessions);
  EXPECT_EQ(panel(), nullptr);
  EXPECT_EQ(assist().status(), "Off");
  EXPECT_FALSE(AuthorizationAssistInspection::hasTimer(assist()));
  EXPECT_FALSE(AuthorizationAssistInspection::hasFaceScan(assist()));
  EXPECT_FALSE(AuthorizationAssistInspection::hasAttempted(assist()));
  EXPECT_EQ(AuthorizationAssistInspection::deadline(assist()), AuthorizationAssist::distantPast);
  (void)AuthorizationAssist::enabled();
  (void)AuthorizationAssist::available();
  assist().cancel();
  (void)quorvel::AuthorizationTarget::capture();
  (void)quorvel::AuthorizationTarget::diagnostic();
  AuthorizationAssist::setEnabled(false);
  runUntilIdle();
  EXPECT_EQ(keyReads(), 0u);
}

// --- cancel --------------------------------------------------------------------------------

TEST_F(AuthorizationAssistTest, CancelOnAFreshAssistLeavesTheCoordinatorsOverlayUp) {
  overlay().beginScanning();
  advance(0.3);
  ASSERT_TRUE(overlayShown());
  const auto windowEvents = machine().windows->events().size();

  assist().cancel();
  assist().cancel();
  EXPECT_EQ(machine().windows->events().size(), windowEvents);
  advance(3.0);
  EXPECT_TRUE(overlayShown());
  EXPECT_TRUE(logs().messages("app").empty());
  EXPECT_EQ(assist().status(), "Off");
  EXPECT_FALSE(AuthorizationAssistInspection::ownsOverlay(assist()));
}

// With a face scan running, a field held and the overlay its own, the cancel step drops
// them in order; the timer, the attempted target and the deadline stay as they are.
TEST_F(AuthorizationAssistTest, CancelStopsItsFaceScanAndHidesOnlyAnOverlayItOwns) {
  auto camera = quorvel::CameraSession::create();
  bool started = false;
  camera->start([&](bool running) { started = running; });
  runUntilIdle();
  ASSERT_TRUE(started);
  AuthorizationAssistInspection::giveFaceScan(assist(), camera);
  const auto scanID = AuthorizationAssistInspection::faceScanSession(assist())->begin();
  AuthorizationAssistInspection::setToken(assist());
  AuthorizationAssistInspection::setField(assist(), platform::accessibility::Element{77});
  AuthorizationAssistInspection::setOwnsOverlay(assist(), true);
  AuthorizationAssistInspection::setDeadline(assist(), 12.5);
  auto timer = platform::dispatch::Timer::scheduled(60, false, [](platform::dispatch::Timer&) {});
  AuthorizationAssistInspection::setTimer(assist(), timer);
  AuthorizationAssistInspection::setAttempted(
      assist(), std::make_shared<quorvel::AuthorizationTarget>(1, platform::accessibility::Element{2},
                                                               platform::accessibility::Element{3}));
  overlay().beginScanning();
  advance(0.3);
  ASSERT_TRUE(overlayShown());
  auto* session = AuthorizationAssistInspection::faceScanSession(assist());
  ASSERT_TRUE(session->contains(scanID));

  assist().cancel();
  runUntilIdle();
  EXPECT_FALSE(camera->isRunning());
  EXPECT_FALSE(AuthorizationAssistInspection::hasFaceScan(assist()));
  EXPECT_FALSE(AuthorizationAssistInspection::hasToken(assist()));
  EXPECT_FALSE(AuthorizationAssistInspection::hasField(assist()));
  EXPECT_FALSE(AuthorizationAssistInspection::ownsOverlay(assist()));
  advance(3.0);
  EXPECT_FALSE(overlayShown());
  EXPECT_TRUE(AuthorizationAssistInspection::hasTimer(assist()));
  EXPECT_TRUE(timer->isValid());
  EXPECT_TRUE(AuthorizationAssistInspection::hasAttempted(assist()));
  EXPECT_EQ(AuthorizationAssistInspection::deadline(assist()), 12.5);
  timer->invalidate();

  // Having given the overlay up, a second cancel leaves a new presentation alone.
  overlay().beginScanning();
  advance(0.3);
  ASSERT_TRUE(overlayShown());
  assist().cancel();
  advance(3.0);
  EXPECT_TRUE(overlayShown());
}

// The status logs each change once, at info level on the app logger.
TEST_F(AuthorizationAssistTest, StatusLogsOnlyChanges) {
  AuthorizationAssistInspection::setStatus(assist(), "Off");
  EXPECT_TRUE(logs().entries().empty());
  AuthorizationAssistInspection::setStatus(assist(), "Watching");
  AuthorizationAssistInspection::setStatus(assist(), "Watching");
  AuthorizationAssistInspection::setStatus(assist(), "Off");
  const auto entries = logs().entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].message, "Authorization assist: Watching");
  EXPECT_EQ(entries[0].category, "app");
  EXPECT_EQ(entries[0].level, platform::log::Level::Info);
  EXPECT_EQ(entries[1].message, "Authorization assist: Off");
  EXPECT_EQ(assist().status(), "Off");
}

// --- the guarded submission order ----------------------------------------------------------

// Read, write and confirm each follow a fresh ready check; the first failure ends the road.
TEST(AuthorizationSubmissionTest, EachStepFollowsAFreshReadyCheckAndTheFirstFailureStops) {
  using Calls = std::vector<std::string>;
  struct Case {
    std::vector<bool> readyAnswers;  // answered in turn; missing answers are true
    std::optional<std::string> password;
    bool writeResult;
    bool confirmResult;
    bool result;
    Calls calls;
  };
  const Calls all{"ready", "read", "ready", "write pw", "ready", "confirm"};
  const Case cases[] = {
      {{}, "pw", true, true, true, all},
      {{}, "pw", true, false, false, all},
      {{}, "", true, true, true, {"ready", "read", "ready", "write ", "ready", "confirm"}},  // empty is a password
      {{false}, "pw", true, true, false, {"ready"}},
      {{}, std::nullopt, true, true, false, {"ready", "read"}},
      {{true, false}, "pw", true, true, false, {"ready", "read", "ready"}},
      {{}, "pw", false, true, false, {"ready", "read", "ready", "write pw"}},
      {{true, true, false}, "pw", true, true, false, {"ready", "read", "ready", "write pw", "ready"}},
  };
  for (const Case& c : cases) {
    Calls calls;
    std::size_t readies = 0;
    const bool result = AuthorizationSubmission::perform(
        [&] {
          calls.push_back("ready");
          return readies < c.readyAnswers.size() ? c.readyAnswers[readies++] : true;
        },
        [&] {
          calls.push_back("read");
          return c.password;
        },
        [&](const std::string& text) {
          calls.push_back("write " + text);
          return c.writeResult;
        },
        [&] {
          calls.push_back("confirm");
          return c.confirmResult;
        });
    EXPECT_EQ(result, c.result) << ::testing::PrintToString(c.calls);
    EXPECT_EQ(calls, c.calls);
  }
}

}  // namespace
