// The login-window target: what capture() accepts, in order, and what makes a captured
// target stop being ready.
#include <functional>
#include <memory>

#include "platform/accessibility/simulated_accessibility.hpp"
#include "support/platform_fixture.hpp"
#include "support/simulated_lock_machine.hpp"
#include "unlock/login_window_target.hpp"

namespace {

using quorvel::LoginWindowTarget;
using quorvel::testing::lockMachine;
using quorvel::testing::SimulatedLockMachine;
using Answer = platform::accessibility::SimulatedAccessibility::FocusedAnswer;
namespace ax = platform::accessibility;

class LoginWindowTargetTest : public quorvel::testing::PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    lockMachine().lock();
    runUntilIdle();
  }
  // Replaces the login window by a process with `spec` at the same identifier, focused.
  void replaceLoginWindow(const SimulatedLockMachine::ProcessSpec& spec) {
    lockMachine().launch(spec, SimulatedLockMachine::kLoginWindowPID);
    lockMachine().focus(SimulatedLockMachine::kLoginWindowPID);
  }
};

// The checks run in order and stop at the first failure: the session before the focus, the
// application record before the code signature, and readiness asks about the focus last.
TEST_F(LoginWindowTargetTest, CapturesTheFocusedGenuineLoginWindowAndChecksStopAtTheFirstFailure) {
  auto& accessibility = lockMachine().accessibility();
  auto& signing = lockMachine().codeSigning();
  auto target = LoginWindowTarget::capture();
  ASSERT_TRUE(target);
  EXPECT_EQ(target->pid, SimulatedLockMachine::kLoginWindowPID);
  const auto record = lockMachine().processes().process(SimulatedLockMachine::kLoginWindowPID);
  ASSERT_TRUE(record);
  EXPECT_EQ(target->identity.pid, SimulatedLockMachine::kLoginWindowPID);
  EXPECT_EQ(target->identity.startSeconds, record->startSeconds);
  EXPECT_EQ(target->identity.startMicroseconds, record->startMicroseconds);
  EXPECT_EQ(target->application->bundleIdentifier(), "com.apple.loginwindow");
  EXPECT_TRUE(target->isReady());
  // The signature was checked against the exact requirement text, with a short time-out on
  // the focus query.
  const auto texts = signing.requirementTexts();
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(texts.back(), "anchor apple and identifier \"com.apple.loginwindow\"");
  ASSERT_TRUE(accessibility.lastQueryTimeout());
  EXPECT_NEAR(*accessibility.lastQueryTimeout(), 0.15, 1e-6);

  const auto queries = accessibility.focusedQueryCount();
  const auto requirements = signing.requirementTexts().size();

  lockMachine().session().setScreenLocked(false);
  EXPECT_FALSE(LoginWindowTarget::capture());
  EXPECT_FALSE(target->isReady());
  EXPECT_EQ(accessibility.focusedQueryCount(), queries) << "no focus query while unlocked";
  lockMachine().session().setScreenLocked(true);

  auto otherPath = SimulatedLockMachine::loginWindowSpec();
  otherPath.executablePath = "/tmp/loginwindow";
  replaceLoginWindow(otherPath);
  EXPECT_FALSE(LoginWindowTarget::capture());
  EXPECT_EQ(signing.requirementTexts().size(), requirements) << "no signature check for a wrong path";
  EXPECT_FALSE(target->isReady());
  EXPECT_EQ(accessibility.focusedQueryCount(), queries + 1) << "only the capture asked about the focus";
}

// Another application in front, nothing at the focused identifier, or an impostor in the login
// window's place.
TEST_F(LoginWindowTargetTest, AnotherFocusedProcessOrAnImpostorIsRefused) {
  const auto other = lockMachine().launch(SimulatedLockMachine::applicationSpec("com.example.overlay"));
  lockMachine().focus(other);
  EXPECT_FALSE(LoginWindowTarget::capture());
  lockMachine().focus(9999);  // an identifier without any running application
  EXPECT_FALSE(LoginWindowTarget::capture());

  using Spec = SimulatedLockMachine::ProcessSpec;
  const std::pair<const char*, std::function<void(Spec&)>> cases[] = {
      {"other path", [](Spec& s) { s.executablePath = "/Users/me/loginwindow.app/Contents/MacOS/loginwindow"; }},
      {"path differs by a character",
       [](Spec& s) { s.executablePath = std::string(SimulatedLockMachine::kLoginWindowPath) + "/"; }},
      {"no executable", [](Spec& s) { s.executablePath.reset(); }},
      {"other owner", [](Spec& s) { s.uid = 0; }},
      {"unsigned", [](Spec& s) { s.signature = platform::codesign::Signature{}; }},
      {"not Apple's anchor", [](Spec& s) { s.signature.anchorApple = false; }},
      {"other signed identifier", [](Spec& s) { s.signature.identifier = "com.apple.screensaver"; }},
      {"broken signature", [](Spec& s) { s.signature.intact = false; }},
      {"no bundle identifier", [](Spec& s) { s.bundleIdentifier.reset(); }},
      {"other bundle identifier", [](Spec& s) { s.bundleIdentifier = "com.apple.loginwindow.helper"; }},
  };
  for (const auto& [name, change] : cases) {
    auto spec = SimulatedLockMachine::loginWindowSpec();
    change(spec);
    replaceLoginWindow(spec);
    EXPECT_FALSE(LoginWindowTarget::capture()) << name;
  }
  replaceLoginWindow(SimulatedLockMachine::loginWindowSpec());
  EXPECT_TRUE(LoginWindowTarget::capture()) << "the genuine one again";
}

// No code object, a short, incomplete or missing kernel record, or a terminated record.
TEST_F(LoginWindowTargetTest, KernelRecordAndCodeFaultsRefuseTheTarget) {
  const auto pid = SimulatedLockMachine::kLoginWindowPID;
  auto& processes = lockMachine().processes();
  lockMachine().codeSigning().setGuestFailure(platform::codesign::errSecCSNoSuchCode);
  EXPECT_FALSE(LoginWindowTarget::capture()) << "no code object";
  lockMachine().codeSigning().setGuestFailure(platform::codesign::errSecSuccess);
  processes.setShortRead(pid, 64);
  EXPECT_FALSE(LoginWindowTarget::capture()) << "a short read";
  processes.setShortRead(pid, std::nullopt);
  const auto original = *processes.process(pid);
  auto record = original;
  record.startSeconds = 0;
  processes.setProcess(record);
  EXPECT_FALSE(LoginWindowTarget::capture()) << "no start time";
  processes.removeProcess(pid);
  EXPECT_FALSE(LoginWindowTarget::capture()) << "no record";
  processes.setProcess(original);
  ASSERT_TRUE(LoginWindowTarget::capture());
  lockMachine().applications().find(pid)->terminate();
  EXPECT_FALSE(LoginWindowTarget::capture()) << "terminated";
}

// Each readiness condition on its own, with everything else unchanged and then restored. (A
// login window restarted under the same identifier is the unlocker's test.)
TEST_F(LoginWindowTargetTest, EachReadinessConditionAloneMakesTheTargetNotReady) {
  const auto pid = SimulatedLockMachine::kLoginWindowPID;
  auto target = LoginWindowTarget::capture();
  ASSERT_TRUE(target);
  auto captured = lockMachine().applications().find(pid);
  const auto original = *lockMachine().processes().process(pid);
  using App = platform::workspace::SimulatedRunningApplication;
  const std::pair<const char*, std::function<void()>> conditions[] = {
      {"another start time", [&] {
         auto moved = original;
         moved.startMicroseconds += 1;
         lockMachine().processes().setProcess(moved);
       }},
      {"another executable now",
       [&] { lockMachine().applications().add(std::make_shared<App>(pid, "com.apple.loginwindow", "/tmp/loginwindow")); }},
      {"no executable now",
       [&] { lockMachine().applications().add(std::make_shared<App>(pid, "com.apple.loginwindow", std::nullopt)); }},
      {"no record now", [] {
         platform::workspace::installRunningApplications(
             std::make_shared<platform::workspace::SimulatedRunningApplications>());
       }},
      {"focus elsewhere", [] { lockMachine().focus(lockMachine().finderPID()); }},
  };
  for (const auto& [name, change] : conditions) {
    change();
    EXPECT_FALSE(target->isReady()) << name;
    lockMachine().processes().setProcess(original);
    lockMachine().install();  // the machine's own application table again
    lockMachine().applications().add(captured);
    lockMachine().focus(pid);
    ASSERT_TRUE(target->isReady()) << name;
  }
  // The captured record reports its process ended; the table, the focus and the kernel
  // record still look the same.
  captured->terminate();
  EXPECT_FALSE(target->isReady()) << "captured record terminated";
}

// A slow focus answer counts as refused, and then the frontmost application decides; an element
// without a usable process identifier gives no target at all.
TEST_F(LoginWindowTargetTest, TheFocusAnswerOrElseTheFrontmostApplicationDecides) {
  auto& accessibility = lockMachine().accessibility();
  auto& applications = lockMachine().applications();
  // Accessibility names the login window, but only after 0.2 s; the frontmost application
  // is another one, so the answer that counts shows which source decided.
  accessibility.setResponseDelay(0.2);
  applications.setFrontmost(lockMachine().finderPID());
  EXPECT_FALSE(LoginWindowTarget::capture());
  accessibility.setResponseDelay(0.1);
  EXPECT_TRUE(LoginWindowTarget::capture());

  accessibility.setPidError(ax::AXError::invalidUIElement);
  applications.setFrontmost(SimulatedLockMachine::kLoginWindowPID);
  EXPECT_FALSE(LoginWindowTarget::capture()) << "no fallback once an element was given";
  accessibility.setPidError(ax::AXError::success);
  accessibility.setFocusedAnswer(Answer::application(0));
  EXPECT_FALSE(LoginWindowTarget::capture()) << "identifier below 1";

  const Answer fallbacks[] = {Answer::failing(ax::AXError::apiDisabled), Answer::failing(ax::AXError::cannotComplete),
                              Answer::none(), Answer::ofOtherType()};
  for (const auto& answer : fallbacks) {
    accessibility.setFocusedAnswer(answer);
    applications.setFrontmost(SimulatedLockMachine::kLoginWindowPID);
    EXPECT_TRUE(LoginWindowTarget::capture()) << static_cast<int>(answer.kind);
    applications.setFrontmost(lockMachine().finderPID());
    EXPECT_FALSE(LoginWindowTarget::capture()) << static_cast<int>(answer.kind);
    applications.setFrontmost(std::nullopt);
    EXPECT_FALSE(LoginWindowTarget::capture()) << static_cast<int>(answer.kind);
  }
}

}  // namespace
