// The authorization assist as this build has it: off, unavailable, a start that does nothing,
// a cancel step that drops only what the assist holds; the guarded order in which a password
// would be written into a dialog.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "overlay/lock_screen_overlay.hpp"
#include "platform/defaults/simulated_defaults.hpp"
#include "recognition/camera_session.hpp"
#include "support/platform_fixture.hpp"
#include "support/simulated_lock_machine.hpp"
#include "support/simulated_display.hpp"
#include "support/simulated_security_agent.hpp"
#include "unlock/authorization_assist.hpp"
#include "unlock/authorization_target.hpp"

namespace quorvel {

// Reaches the assist's private state, which nothing in this build sets, to check what its
// cancel step and status do when there is something to act on.
struct AuthorizationAssistInspection {
  using FaceScan = AuthorizationAssist::AuthorizationFaceScan;
  static auto& scanner(AuthorizationAssist& assist) { return assist.scanner_; }
  static auto& token(AuthorizationAssist& assist) { return assist.token_; }
  static auto& field(AuthorizationAssist& assist) { return assist.field_; }
  static auto& ownsOverlay(AuthorizationAssist& assist) { return assist.ownsOverlay_; }
  static auto& deadline(AuthorizationAssist& assist) { return assist.deadline_; }
  static auto& timer(AuthorizationAssist& assist) { return assist.timer_; }
  static auto& attempted(AuthorizationAssist& assist) { return assist.attempted_; }
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

// The setter writes the local test key, which nothing reads; a start does nothing, even with
// the key set and a dialog waiting.
TEST_F(AuthorizationAssistTest, IsOffWhateverTheSetterWritesAndStartDoesNothing) {
  using Inspect = AuthorizationAssistInspection;
  AuthorizationAssist::setEnabled(false);
  EXPECT_EQ(*recording_->persistentObject(AuthorizationAssist::localTestKey), platform::defaults::Value(false));
  // A toggle reads false, so it always writes true.
  AuthorizationAssist::setEnabled(!AuthorizationAssist::enabled());
  EXPECT_EQ(*recording_->persistentObject(AuthorizationAssist::localTestKey), platform::defaults::Value(true));
  recording_->reads.clear();
  SimulatedSecurityAgent agent(lockMachine());
  auto& dialog = agent.showDialog();
  assist().start();
  EXPECT_EQ(scheduler().pendingCount(), 0u);
  runUntilIdle();
  EXPECT_FALSE(AuthorizationAssist::enabled());
  EXPECT_FALSE(AuthorizationAssist::available());
  (void)quorvel::AuthorizationTarget::diagnostic();
  EXPECT_EQ(keyReads(), 0u);
  EXPECT_TRUE(logs().entries().empty());
  EXPECT_TRUE(agent.ui().performed().empty());
  EXPECT_FALSE(dialog.passwordMode);
  EXPECT_EQ(panel(), nullptr);
  EXPECT_EQ(assist().status(), "Off");
  EXPECT_FALSE(Inspect::timer(assist()) || Inspect::scanner(assist()) || Inspect::attempted(assist()));
  EXPECT_EQ(Inspect::deadline(assist()), AuthorizationAssist::distantPast);
}

// --- cancel --------------------------------------------------------------------------------

// With a face scan running, a field held and the overlay its own, the cancel step drops
// them; the timer, the attempted target and the deadline stay as they are. Having given the
// overlay up, a second cancel leaves a new presentation alone.
TEST_F(AuthorizationAssistTest, CancelStopsItsFaceScanAndHidesOnlyAnOverlayItOwns) {
  using Inspect = AuthorizationAssistInspection;
  auto camera = quorvel::CameraSession::create();
  bool started = false;
  camera->start([&](bool running) { started = running; });
  runUntilIdle();
  ASSERT_TRUE(started);
  Inspect::scanner(assist()) = std::make_unique<Inspect::FaceScan>(camera, quorvel::RecognitionEngine::dlib,
                                                                   std::vector<quorvel::FaceDescriptor>{});
  const auto scanID = Inspect::scanner(assist())->session.begin();
  ASSERT_TRUE(Inspect::scanner(assist())->session.contains(scanID));
  Inspect::token(assist()) = platform::uuid::UUID();
  Inspect::field(assist()) = platform::accessibility::Element{77};
  Inspect::ownsOverlay(assist()) = true;
  Inspect::deadline(assist()) = 12.5;
  auto timer = platform::dispatch::Timer::scheduled(60, false, [](platform::dispatch::Timer&) {});
  Inspect::timer(assist()) = timer;
  Inspect::attempted(assist()) = std::make_shared<quorvel::AuthorizationTarget>(
      1, platform::accessibility::Element{2}, platform::accessibility::Element{3});
  for (const bool owned : {true, false}) {
    overlay().beginScanning();
    advance(0.3);
    ASSERT_TRUE(overlayShown());
    assist().cancel();
    advance(3.0);
    EXPECT_EQ(overlayShown(), !owned);
  }
  EXPECT_FALSE(camera->isRunning());
  EXPECT_FALSE(Inspect::scanner(assist()) || Inspect::token(assist()) || Inspect::field(assist()));
  EXPECT_FALSE(Inspect::ownsOverlay(assist()));
  EXPECT_EQ(Inspect::timer(assist()), timer);
  EXPECT_TRUE(timer->isValid());
  EXPECT_TRUE(Inspect::attempted(assist()));
  EXPECT_EQ(Inspect::deadline(assist()), 12.5);
  EXPECT_TRUE(logs().messages("app").empty());
  timer->invalidate();
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

// Read, write and confirm each follow a fresh ready check; the first failure ends the road. (The
// target's submit tests run the other stops on a dialog.)
TEST(AuthorizationSubmissionTest, EachStepFollowsAFreshReadyCheckAndTheFirstFailureStops) {
  for (const auto& [readyAnswers, password, expected] :
       {std::tuple<std::vector<bool>, std::string, std::vector<std::string>>{
            {true, true, true}, "", {"ready", "read", "ready", "write ", "ready", "confirm"}},  // empty is a password
        {{true, false}, "pw", {"ready", "read", "ready"}}}) {
    std::vector<std::string> calls;
    std::size_t readies = 0;
    const bool done = AuthorizationSubmission::perform(
        [&] {
          calls.push_back("ready");
          return readyAnswers[readies++];
        },
        [&] {
          calls.push_back("read");
          return std::optional<std::string>(password);
        },
        [&](const std::string& text) {
          calls.push_back("write " + text);
          return true;
        },
        [&] {
          calls.push_back("confirm");
          return true;
        });
    EXPECT_EQ(done, expected.back() == "confirm");
    EXPECT_EQ(calls, expected);
  }
}

}  // namespace
