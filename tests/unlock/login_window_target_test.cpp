// The login-window target: what capture() accepts, in order, and what makes a captured
// target stop being ready.
#include <memory>

#include "platform/accessibility/accessibility.hpp"
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

TEST_F(LoginWindowTargetTest, CapturesTheFocusedGenuineLoginWindow) {
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
  const auto texts = lockMachine().codeSigning().requirementTexts();
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(texts.back(), "anchor apple and identifier \"com.apple.loginwindow\"");
  ASSERT_TRUE(lockMachine().accessibility().lastQueryTimeout());
  EXPECT_NEAR(*lockMachine().accessibility().lastQueryTimeout(), 0.15, 1e-6);
}

TEST_F(LoginWindowTargetTest, NothingIsCapturedOrReadyOnceTheScreenIsUnlocked) {
  auto target = LoginWindowTarget::capture();
  ASSERT_TRUE(target);
  lockMachine().session().setScreenLocked(false);  // the focus stays on the login window
  EXPECT_FALSE(target->isReady());
  EXPECT_FALSE(LoginWindowTarget::capture());
}

// The checks run in order and stop at the first failure: the session before the focus, the
// application record before the code signature, and readiness asks about the focus last.
TEST_F(LoginWindowTargetTest, ChecksStopAtTheFirstFailure) {
  auto& accessibility = lockMachine().accessibility();
  auto& signing = lockMachine().codeSigning();
  auto target = LoginWindowTarget::capture();
  ASSERT_TRUE(target);
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

TEST_F(LoginWindowTargetTest, AnotherFocusedProcessIsNotATarget) {
  const auto other = lockMachine().launch(SimulatedLockMachine::applicationSpec("com.example.overlay"));
  lockMachine().focus(other);
  EXPECT_FALSE(LoginWindowTarget::capture());
  lockMachine().focus(9999);  // an identifier without any running application
  EXPECT_FALSE(LoginWindowTarget::capture());
}

TEST_F(LoginWindowTargetTest, ImpostorsOfTheLoginWindowAreRefused) {
  auto otherPath = SimulatedLockMachine::loginWindowSpec();
  otherPath.executablePath = "/Users/me/loginwindow.app/Contents/MacOS/loginwindow";
  auto otherOwner = SimulatedLockMachine::loginWindowSpec();
  otherOwner.uid = 0;
  auto unsignedCopy = SimulatedLockMachine::loginWindowSpec();
  unsignedCopy.signature = platform::codesign::Signature{};
  auto developerSigned = SimulatedLockMachine::loginWindowSpec();
  developerSigned.signature.anchorApple = false;  // Apple-certified developer, same identifier
  auto otherIdentifier = SimulatedLockMachine::loginWindowSpec();
  otherIdentifier.signature.identifier = "com.apple.screensaver";
  auto brokenSignature = SimulatedLockMachine::loginWindowSpec();
  brokenSignature.signature.intact = false;
  auto noBundle = SimulatedLockMachine::loginWindowSpec();
  noBundle.bundleIdentifier.reset();
  auto otherBundle = SimulatedLockMachine::loginWindowSpec();
  otherBundle.bundleIdentifier = "com.apple.loginwindow.helper";
  auto noExecutable = SimulatedLockMachine::loginWindowSpec();
  noExecutable.executablePath.reset();
  auto trailingSlash = SimulatedLockMachine::loginWindowSpec();
  trailingSlash.executablePath = std::string(SimulatedLockMachine::kLoginWindowPath) + "/";

  const std::pair<const char*, SimulatedLockMachine::ProcessSpec> cases[] = {
      {"other path", otherPath},           {"other owner", otherOwner},
      {"unsigned", unsignedCopy},          {"not Apple's anchor", developerSigned},
      {"other signed identifier", otherIdentifier}, {"broken signature", brokenSignature},
      {"no bundle identifier", noBundle},  {"other bundle identifier", otherBundle},
      {"no executable", noExecutable},     {"path differs by a character", trailingSlash},
  };
  for (const auto& [name, spec] : cases) {
    replaceLoginWindow(spec);
    EXPECT_FALSE(LoginWindowTarget::capture()) << name;
  }
  replaceLoginWindow(SimulatedLockMachine::loginWindowSpec());
  EXPECT_TRUE(LoginWindowTarget::capture()) << "the genuine one again";
}

TEST_F(LoginWindowTargetTest, KernelRecordFaultsRefuseTheTarget) {
  const auto pid = SimulatedLockMachine::kLoginWindowPID;
  lockMachine().processes().setShortRead(pid, 64);
  EXPECT_FALSE(LoginWindowTarget::capture()) << "a short read";
  lockMachine().processes().setShortRead(pid, std::nullopt);
  auto record = *lockMachine().processes().process(pid);
  record.startSeconds = 0;
  lockMachine().processes().setProcess(record);
  EXPECT_FALSE(LoginWindowTarget::capture()) << "no start time";
  lockMachine().processes().removeProcess(pid);
  EXPECT_FALSE(LoginWindowTarget::capture()) << "no record";
}

TEST_F(LoginWindowTargetTest, ATerminatedRecordOrAMissingCodeObjectIsRefused) {
  lockMachine().codeSigning().setGuestFailure(platform::codesign::errSecCSNoSuchCode);
  EXPECT_FALSE(LoginWindowTarget::capture());
  lockMachine().codeSigning().setGuestFailure(platform::codesign::errSecSuccess);
  ASSERT_TRUE(LoginWindowTarget::capture());
  lockMachine().applications().find(SimulatedLockMachine::kLoginWindowPID)->terminate();
  EXPECT_FALSE(LoginWindowTarget::capture());
}

TEST_F(LoginWindowTargetTest, ARestartedLoginWindowWithTheSameIdentifierIsNotReady) {
  auto target = LoginWindowTarget::capture();
  ASSERT_TRUE(target);
  lockMachine().restart(SimulatedLockMachine::kLoginWindowPID);
  lockMachine().focus(SimulatedLockMachine::kLoginWindowPID);
  EXPECT_FALSE(target->isReady());
  auto fresh = LoginWindowTarget::capture();
  ASSERT_TRUE(fresh);
  EXPECT_EQ(fresh->pid, target->pid);
  EXPECT_NE(fresh->identity, target->identity);
  EXPECT_TRUE(fresh->isReady());
}

TEST_F(LoginWindowTargetTest, ReadinessNeedsTheSameStartTimeExecutableAndFocus) {
  const auto pid = SimulatedLockMachine::kLoginWindowPID;
  auto target = LoginWindowTarget::capture();
  ASSERT_TRUE(target);

  // The kernel now reports another start time for the identifier.
  const auto original = *lockMachine().processes().process(pid);
  auto moved = original;
  moved.startMicroseconds += 1;
  lockMachine().processes().setProcess(moved);
  EXPECT_FALSE(target->isReady());
  lockMachine().processes().setProcess(original);
  EXPECT_TRUE(target->isReady());

  // The record found now names another executable (the captured record is unchanged).
  auto captured = lockMachine().applications().find(pid);
  lockMachine().applications().add(std::make_shared<platform::workspace::SimulatedRunningApplication>(
      pid, "com.apple.loginwindow", "/tmp/loginwindow"));
  EXPECT_FALSE(target->isReady());
  lockMachine().applications().add(captured);
  EXPECT_TRUE(target->isReady());

  // Focus moves elsewhere and back.
  lockMachine().focus(lockMachine().finderPID());
  EXPECT_FALSE(target->isReady());
  lockMachine().focus(pid);
  EXPECT_TRUE(target->isReady());

  // The record disappears.
  lockMachine().applications().remove(pid);
  EXPECT_FALSE(target->isReady());
}

// Each readiness condition on its own, with everything else unchanged.
TEST_F(LoginWindowTargetTest, EachReadinessConditionAloneMakesTheTargetNotReady) {
  const auto pid = SimulatedLockMachine::kLoginWindowPID;
  auto target = LoginWindowTarget::capture();
  ASSERT_TRUE(target);
  auto captured = lockMachine().applications().find(pid);

  // The record found now has no executable, while the captured one has.
  lockMachine().applications().add(
      std::make_shared<platform::workspace::SimulatedRunningApplication>(pid, "com.apple.loginwindow", std::nullopt));
  EXPECT_FALSE(target->isReady()) << "one executable absent";
  lockMachine().applications().add(captured);
  ASSERT_TRUE(target->isReady());

  // No record for the identifier now, though the captured record never learnt of an end.
  auto empty = std::make_shared<platform::workspace::SimulatedRunningApplications>();
  platform::workspace::installRunningApplications(empty);
  EXPECT_FALSE(target->isReady()) << "no record now";
  lockMachine().install();  // the machine's own table again
  ASSERT_TRUE(target->isReady());

  // The captured record reports its process ended; the table, the focus and the kernel
  // record still look the same.
  captured->terminate();
  EXPECT_FALSE(target->isReady()) << "captured record terminated";
}

TEST_F(LoginWindowTargetTest, WhenAccessibilityRefusesTheFrontmostApplicationDecides) {
  auto& accessibility = lockMachine().accessibility();
  auto& applications = lockMachine().applications();
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

TEST_F(LoginWindowTargetTest, ASlowAccessibilityAnswerCountsAsRefused) {
  auto& accessibility = lockMachine().accessibility();
  // Accessibility names the login window, but only after 0.2 s; the frontmost application
  // is another one, so the answer that counts shows which source decided.
  accessibility.setResponseDelay(0.2);
  lockMachine().applications().setFrontmost(lockMachine().finderPID());
  EXPECT_FALSE(LoginWindowTarget::capture());
  accessibility.setResponseDelay(0.1);
  EXPECT_TRUE(LoginWindowTarget::capture());
}

TEST_F(LoginWindowTargetTest, AnElementWithoutAProcessIdentifierGivesNoTarget) {
  lockMachine().accessibility().setPidError(ax::AXError::invalidUIElement);
  lockMachine().applications().setFrontmost(SimulatedLockMachine::kLoginWindowPID);
  EXPECT_FALSE(LoginWindowTarget::capture()) << "no fallback once an element was given";
  lockMachine().accessibility().setPidError(ax::AXError::success);
  lockMachine().accessibility().setFocusedAnswer(Answer::application(0));
  EXPECT_FALSE(LoginWindowTarget::capture()) << "identifier below 1";
}

}  // namespace
