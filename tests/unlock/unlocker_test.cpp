// The unlocker on the simulated machine with virtual time: the whole typing road into the
// login window, every way the road stops, and the request's identity.
#include <string>
#include <vector>

#include "foundation/password_vault.hpp"
#include "platform/accessibility/accessibility.hpp"
#include "platform/events/events.hpp"
#include "support/platform_fixture.hpp"
#include "support/simulated_lock_machine.hpp"
#include "unlock/lock_monitor.hpp"
#include "unlock/unlocker.hpp"

namespace {

using quorvel::LockMonitor;
using quorvel::PasswordVault;
using quorvel::Unlocker;
using quorvel::testing::lockMachine;
using quorvel::testing::SimulatedLockMachine;
using Failure = Unlocker::Failure;
using Result = Unlocker::Result;
namespace ev = platform::events;

constexpr const char* kPassword = "Tr0ub4dor&3 zebra";
constexpr const char16_t* kPassword16 = u"Tr0ub4dor&3 zebra";

class UnlockerTest : public quorvel::testing::PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    lockMachine().setUserPassword(kPassword16);
    ASSERT_TRUE(PasswordVault::set(kPassword));
    lockMachine().lock();
    runUntilIdle();
  }

  // A completion that records its results and when they came.
  Unlocker::Completion record(const std::string& name = "request") {
    return [this, name](Result result) {
      results.push_back(result);
      order.push_back(name + ":" + (result.succeeded() ? "success" : std::string(quorvel::rawValue(*result.failure))));
    };
  }

  std::vector<ev::SimulatedEvents::Posted> posted() { return lockMachine().events().posted(); }
  static Result failed(Failure failure) { return Result::failed(failure); }
  std::size_t logCount(const std::string& message) {
    std::size_t count = 0;
    for (const auto& line : logs().messages("unlock")) count += line == message ? 1 : 0;
    return count;
  }

  std::vector<Result> results;
  std::vector<std::string> order;
};

TEST_F(UnlockerTest, TheFullRoadTypesThePasswordAsOneEventAndUnlocks) {
  lockMachine().power().setDisplayAsleep(true);
  Unlocker::unlock(record());
  EXPECT_FALSE(lockMachine().power().displayAsleep()) << "the display is woken at once";
  EXPECT_TRUE(results.empty());

  // Boundaries are approached within a millisecond either side.
  advance(0.349);
  EXPECT_TRUE(posted().empty()) << "nothing before 0.35 s";
  advance(0.002);
  auto events = posted();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].pid, SimulatedLockMachine::kLoginWindowPID);
  EXPECT_EQ(events[0].event.keyCode(), 0);
  EXPECT_TRUE(events[0].event.isKeyDown());
  EXPECT_EQ(events[0].event.unicodeString(), kPassword16);
  EXPECT_EQ(events[0].event.unicodeStringSetCount(), 1u) << "set in one call, not character by character";
  EXPECT_EQ(events[1].event.keyCode(), 0);
  EXPECT_FALSE(events[1].event.isKeyDown());
  EXPECT_TRUE(events[1].event.unicodeString().empty());
  EXPECT_EQ(lockMachine().loginFieldText(), kPassword16);

  advance(0.038);
  EXPECT_EQ(posted().size(), 2u) << "Return waits 0.04 s";
  advance(0.002);
  events = posted();
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[2].event.keyCode(), 36);
  EXPECT_TRUE(events[2].event.isKeyDown());
  EXPECT_EQ(events[3].event.keyCode(), 36);
  EXPECT_FALSE(events[3].event.isKeyDown());
  for (const auto& item : events) {
    EXPECT_EQ(item.pid, SimulatedLockMachine::kLoginWindowPID);
    EXPECT_EQ(item.event.flags(), 0u);
  }
  EXPECT_EQ(events[2].event.unicodeString(), u"");
  EXPECT_EQ(lockMachine().unlocksByLoginWindow(), 1);
  EXPECT_FALSE(lockMachine().sessionLocked());
  EXPECT_EQ(lockMachine().distributed().posted().back(), "com.apple.screenIsUnlocked");

  advance(0.897);
  EXPECT_TRUE(results.empty()) << "confirmation waits 0.9 s";
  advance(0.002);
  EXPECT_EQ(results, std::vector<Result>{Result::success()});
  advance(5);
  EXPECT_EQ(results.size(), 1u);
  EXPECT_EQ(posted().size(), 4u);
  EXPECT_EQ(lockMachine().events().sourceStates(), std::vector<ev::SourceStateID>{ev::SourceStateID::privateState});
}

// The target is verified once at capture and again before each of the two posts of the
// first step (around the event creation) and before the Return; the confirmation looks at
// the session only. Each verification asks once which application has the focus.
TEST_F(UnlockerTest, TheTargetIsCheckedAgainBeforeEveryPost) {
  auto& accessibility = lockMachine().accessibility();
  const auto before = accessibility.focusedQueryCount();
  Unlocker::unlock(record());
  EXPECT_EQ(accessibility.focusedQueryCount() - before, 1u) << "capture";
  advance(0.35);
  ASSERT_EQ(posted().size(), 2u);
  EXPECT_EQ(accessibility.focusedQueryCount() - before, 3u) << "two checks before the password";
  advance(0.04);
  ASSERT_EQ(posted().size(), 4u);
  EXPECT_EQ(accessibility.focusedQueryCount() - before, 4u) << "one check before Return";
  advance(2);
  EXPECT_EQ(accessibility.focusedQueryCount() - before, 4u) << "the confirmation checks the session only";
  EXPECT_EQ(results, std::vector<Result>{Result::success()});
}

// The check at the start of the first step comes before the password is read: with the
// focus gone and no password saved, the request ends for the focus.
TEST_F(UnlockerTest, ALostFocusIsNoticedBeforeTheMissingPassword) {
  PasswordVault::clear();
  Unlocker::unlock(record());
  lockMachine().focus(lockMachine().finderPID());
  advance(0.35);
  EXPECT_EQ(results, std::vector<Result>{failed(Failure::lockScreenNotFocused)});
  EXPECT_EQ(lockMachine().events().sourcesCreated(), 0u);
}

TEST_F(UnlockerTest, HeldModifiersAreClearedSoThePasswordIsTypedAsText) {
  lockMachine().events().setModifierState(ev::kEventFlagMaskCommand | ev::kEventFlagMaskShift);
  Unlocker::unlock(record());
  advance(2);
  for (const auto& item : posted()) EXPECT_EQ(item.event.flags(), 0u);
  EXPECT_EQ(results, std::vector<Result>{Result::success()});
}

TEST_F(UnlockerTest, ARejectedPasswordIsReportedAsNotUnlocked) {
  lockMachine().setUserPassword(u"something else");
  Unlocker::unlock(record());
  advance(0.39);
  EXPECT_EQ(lockMachine().returnPresses(), 1);
  EXPECT_EQ(lockMachine().rejectedPasswords(), 1);
  EXPECT_TRUE(results.empty());
  advance(0.9);
  EXPECT_EQ(results, std::vector<Result>{failed(Failure::notUnlocked)});
  EXPECT_EQ(std::string(quorvel::rawValue(*results[0].failure)), "Unlock not confirmed; use Touch ID or your password");
}

TEST_F(UnlockerTest, CharactersOutsideTheBasicPlaneGoAsSurrogatePairsInOneEvent) {
  const std::string password = "p\xC3\xA4ss \xF0\x9F\x99\x82 \xE2\x9C\x93";  // "päss 🙂 ✓"
  const std::u16string expected = u"p\u00E4ss \U0001F642 \u2713";
  ASSERT_EQ(expected.size(), 9u);  // the face is two code units
  ASSERT_TRUE(PasswordVault::set(password));
  lockMachine().setUserPassword(expected);
  Unlocker::unlock(record());
  advance(0.35);
  ASSERT_EQ(posted().size(), 2u);
  const auto typed = posted()[0].event.unicodeString();
  EXPECT_EQ(typed, expected);
  EXPECT_EQ(typed[5], 0xD83D);
  EXPECT_EQ(typed[6], 0xDE42);
  advance(1);
  EXPECT_EQ(results, std::vector<Result>{Result::success()});
}

// The edges of each UTF-8 length and of the surrogate range, and a NUL inside the text.
TEST_F(UnlockerTest, EveryCodePointRangeIsConvertedAtItsEdges) {
  const std::string password = std::string("\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80") +
                               "\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF" + std::string(1, '\0') + "z";
  const std::u16string expected{0x007F, 0x0080, 0x07FF, 0x0800, 0xD7FF, 0xE000, 0xFFFF,
                                0xD800, 0xDC00, 0xDBFF, 0xDFFF, 0x0000, u'z'};
  ASSERT_TRUE(PasswordVault::set(password));
  lockMachine().setUserPassword(expected);
  Unlocker::unlock(record());
  advance(0.35);
  ASSERT_EQ(posted().size(), 2u);
  EXPECT_EQ(posted()[0].event.unicodeString(), expected);
  advance(1);
  EXPECT_EQ(results, std::vector<Result>{Result::success()});
}

TEST_F(UnlockerTest, TheScreenUnlockingBetweenPasswordAndReturnStopsTheReturn) {
  Unlocker::unlock(record());
  advance(0.35);
  ASSERT_EQ(posted().size(), 2u);
  lockMachine().unlockByUser(/*notify=*/false);  // before anything cancels the request
  advance(0.04);
  EXPECT_EQ(posted().size(), 2u) << "Return must not be posted";
  EXPECT_EQ(results, std::vector<Result>{failed(Failure::lockScreenNotFocused)});
  EXPECT_EQ(logCount("Login target changed; cancelling pending input"), 1u);
  EXPECT_EQ(logs().entries().back().level, platform::log::Level::Default);
  advance(2);
  EXPECT_EQ(results.size(), 1u) << "the confirmation step never runs";
}

TEST_F(UnlockerTest, AnUnlockNotificationFirstCancelsThroughTheMonitor) {
  // Wired as the coordinator does: the monitor's unlock ends any pending typing.
  LockMonitor::shared().isLocked = true;
  LockMonitor::shared().onUnlock = [] { Unlocker::cancelPendingUnlock(); };
  LockMonitor::shared().start();
  Unlocker::unlock(record());
  advance(0.36);
  lockMachine().unlockByUser();
  runUntilIdle();
  EXPECT_EQ(results, std::vector<Result>{failed(Failure::cancelled)});
  advance(2);
  EXPECT_EQ(posted().size(), 2u);
  EXPECT_EQ(results.size(), 1u);
  EXPECT_EQ(logCount("Login target changed; cancelling pending input"), 0u);
}

TEST_F(UnlockerTest, AnotherProcessTakingTheFocusStopsTheTyping) {
  Unlocker::unlock(record());
  const auto other = lockMachine().launch(SimulatedLockMachine::applicationSpec("com.example.popup"));
  lockMachine().focus(other);
  advance(0.35);
  EXPECT_TRUE(posted().empty());
  EXPECT_EQ(results, std::vector<Result>{failed(Failure::lockScreenNotFocused)});
  EXPECT_EQ(logCount("Login target changed; cancelling pending input"), 1u);

  // Focus lost between the password and Return.
  results.clear();
  lockMachine().focus(SimulatedLockMachine::kLoginWindowPID);
  Unlocker::unlock(record());
  advance(0.35);
  lockMachine().focus(other);
  advance(0.04);
  EXPECT_EQ(posted().size(), 2u);
  EXPECT_EQ(results, std::vector<Result>{failed(Failure::lockScreenNotFocused)});
}

TEST_F(UnlockerTest, ARestartedLoginWindowWithTheSamePIDGetsNothing) {
  Unlocker::unlock(record());
  advance(0.2);
  lockMachine().restart(SimulatedLockMachine::kLoginWindowPID);
  lockMachine().focus(SimulatedLockMachine::kLoginWindowPID);
  advance(0.15);
  EXPECT_TRUE(posted().empty());
  EXPECT_EQ(results, std::vector<Result>{failed(Failure::lockScreenNotFocused)});
}

TEST_F(UnlockerTest, ImpostorsAndUnfocusedScreensFailAtOnce) {
  auto otherPath = SimulatedLockMachine::loginWindowSpec();
  otherPath.executablePath = "/tmp/loginwindow";
  auto otherOwner = SimulatedLockMachine::loginWindowSpec();
  otherOwner.uid = 502;
  auto unsignedCopy = SimulatedLockMachine::loginWindowSpec();
  unsignedCopy.signature = platform::codesign::Signature{};
  for (const auto& spec : {otherPath, otherOwner, unsignedCopy}) {
    lockMachine().launch(spec, SimulatedLockMachine::kLoginWindowPID);
    results.clear();
    Unlocker::unlock(record());
    // Synchronously, inside the call, with nothing scheduled and no display wake.
    EXPECT_EQ(results, std::vector<Result>{failed(Failure::lockScreenNotFocused)});
  }
  EXPECT_TRUE(lockMachine().power().created().empty());
  EXPECT_EQ(scheduler().pendingCount(), 0u);
  advance(2);
  EXPECT_TRUE(posted().empty());
  EXPECT_EQ(logCount("Login target changed; cancelling pending input"), 0u);
}

TEST_F(UnlockerTest, WithoutAccessibilityNothingIsCaptured) {
  lockMachine().accessibility().setTrusted(false);
  Unlocker::unlock(record());
  EXPECT_EQ(results, std::vector<Result>{failed(Failure::noAccessibility)});
  EXPECT_EQ(lockMachine().accessibility().focusedQueryCount(), 0u);
  EXPECT_EQ(scheduler().pendingCount(), 0u);
}

TEST_F(UnlockerTest, AccessibilityRefusingTheFocusQueryLeavesItToTheFrontmostApplication) {
  lockMachine().accessibility().setFocusedAnswer(
      platform::accessibility::SimulatedAccessibility::FocusedAnswer::failing(platform::accessibility::AXError::apiDisabled));
  lockMachine().applications().setFrontmost(SimulatedLockMachine::kLoginWindowPID);
  Unlocker::unlock(record());
  advance(2);
  EXPECT_EQ(results, std::vector<Result>{Result::success()});
  EXPECT_EQ(posted().size(), 4u);
}

TEST_F(UnlockerTest, ASecondRequestCancelsTheFirstBeforeItStarts) {
  Unlocker::unlock(record("first"));
  advance(0.2);
  Unlocker::unlock(record("second"));
  EXPECT_EQ(order, std::vector<std::string>{"first:Unlock attempt cancelled"});
  advance(0.15);
  EXPECT_TRUE(posted().empty()) << "the first request's step is stale";
  advance(0.2);
  EXPECT_EQ(posted().size(), 2u);
  advance(2);
  EXPECT_EQ(order, (std::vector<std::string>{"first:Unlock attempt cancelled", "second:success"}));
  EXPECT_EQ(posted().size(), 4u);
}

TEST_F(UnlockerTest, ASecondRequestThatFailsAtOnceStillCancelsTheFirst) {
  Unlocker::unlock(record("first"));
  lockMachine().accessibility().setTrusted(false);
  Unlocker::unlock(record("second"));
  EXPECT_EQ(order, (std::vector<std::string>{"first:Unlock attempt cancelled", "second:Accessibility permission is off"}));
  advance(2);
  EXPECT_TRUE(posted().empty());
  EXPECT_EQ(order.size(), 2u);
}

TEST_F(UnlockerTest, CancellingBetweenStepsEndsAtOnceAndLaterStepsDoNothing) {
  Unlocker::unlock(record());
  advance(0.36);  // the password is posted, Return is 0.04 s away
  Unlocker::cancelPendingUnlock();
  EXPECT_EQ(results, std::vector<Result>{failed(Failure::cancelled)});
  advance(2);
  EXPECT_EQ(posted().size(), 2u);
  EXPECT_EQ(results.size(), 1u);

  // Between Return and the confirmation: the session stays locked (wrong password), yet the
  // request ends with the cancel and not with "not confirmed".
  results.clear();
  lockMachine().setUserPassword(u"other");
  Unlocker::unlock(record());
  advance(0.5);
  ASSERT_EQ(posted().size(), 6u);
  Unlocker::cancelPendingUnlock();
  advance(2);
  EXPECT_EQ(results, std::vector<Result>{failed(Failure::cancelled)});
}

TEST_F(UnlockerTest, CancellingWithoutARequestDoesNothing) {
  Unlocker::cancelPendingUnlock();
  EXPECT_TRUE(results.empty());
  Unlocker::unlock(record());
  advance(2);
  Unlocker::cancelPendingUnlock();  // after it finished
  EXPECT_EQ(results, std::vector<Result>{Result::success()});
}

TEST_F(UnlockerTest, ThePasswordIsReadWhenTypingStarts) {
  Unlocker::unlock(record());
  advance(0.2);
  ASSERT_TRUE(PasswordVault::set("changed meanwhile"));
  lockMachine().setUserPassword(u"changed meanwhile");
  advance(2);
  ASSERT_FALSE(posted().empty());
  EXPECT_EQ(posted()[0].event.unicodeString(), u"changed meanwhile");
  EXPECT_EQ(results, std::vector<Result>{Result::success()});
}

TEST_F(UnlockerTest, NoSavedPasswordEndsTheRequestBeforeAnyKey) {
  PasswordVault::clear();
  Unlocker::unlock(record());
  EXPECT_TRUE(results.empty()) << "the password is only read at the first step";
  advance(0.35);
  EXPECT_EQ(results, std::vector<Result>{failed(Failure::noPassword)});
  EXPECT_EQ(std::string(quorvel::rawValue(Failure::noPassword)), "No password saved");
  advance(2);
  EXPECT_TRUE(posted().empty());
  EXPECT_EQ(lockMachine().events().sourcesCreated(), 0u);
}

TEST_F(UnlockerTest, EventCreationFailuresPostNothing) {
  lockMachine().events().setSourceCreationFails(true);
  Unlocker::unlock(record());
  advance(2);
  EXPECT_EQ(results, std::vector<Result>{failed(Failure::eventSourceFailed)});
  lockMachine().events().setSourceCreationFails(false);
  for (int failing = 1; failing <= 4; ++failing) {
    results.clear();
    lockMachine().events().setKeyboardEventCreationFailsAt(failing);
    Unlocker::unlock(record());
    advance(2);
    EXPECT_EQ(results, std::vector<Result>{failed(Failure::eventSourceFailed)}) << failing;
  }
  EXPECT_TRUE(posted().empty());
  EXPECT_EQ(lockMachine().loginFieldText(), u"");
}

TEST_F(UnlockerTest, AccessibilityAndFocusQueries) {
  EXPECT_TRUE(Unlocker::hasAccessibility());
  EXPECT_TRUE(Unlocker::lockScreenHasFocus());
  lockMachine().focus(lockMachine().finderPID());
  EXPECT_FALSE(Unlocker::lockScreenHasFocus());

  auto& accessibility = lockMachine().accessibility();
  accessibility.setTrusted(false);
  accessibility.setGrantOnPrompt(true);
  EXPECT_FALSE(Unlocker::hasAccessibility());
  Unlocker::requestAccessibility();
  EXPECT_EQ(accessibility.promptCount(), 1u);
  EXPECT_TRUE(Unlocker::hasAccessibility());
}

TEST_F(UnlockerTest, FailureTextsRoundTrip) {
  const std::pair<Failure, const char*> table[] = {
      {Failure::noAccessibility, "Accessibility permission is off"},
      {Failure::noPassword, "No password saved"},
      {Failure::eventSourceFailed, "Could not create an input event"},
      {Failure::lockScreenNotFocused, "Could not confirm the lock screen was ready; nothing more was typed"},
      {Failure::cancelled, "Unlock attempt cancelled"},
      {Failure::notUnlocked, "Unlock not confirmed; use Touch ID or your password"},
  };
  for (const auto& [failure, text] : table) {
    EXPECT_EQ(quorvel::rawValue(failure), text);
    EXPECT_EQ(quorvel::unlocker_failure::fromRawValue(text), failure);
    EXPECT_EQ(std::hash<Failure>()(failure), std::hash<std::string_view>()(text));
  }
  EXPECT_FALSE(quorvel::unlocker_failure::fromRawValue("unlock attempt cancelled"));
  EXPECT_FALSE(quorvel::unlocker_failure::fromRawValue(""));
}

// Every log line of a full road, a failing road and a cancelled one: the saved password
// appears in none of them.
TEST_F(UnlockerTest, ThePasswordNeverAppearsInTheLog) {
  LockMonitor::shared().start();
  lockMachine().unlockByUser();
  runUntilIdle();
  lockMachine().lock();
  runUntilIdle();

  Unlocker::unlock(record());
  advance(2);
  lockMachine().lock();
  runUntilIdle();
  Unlocker::unlock(record());
  advance(0.35);
  lockMachine().unlockByUser(false);
  advance(2);
  lockMachine().lock();
  runUntilIdle();
  Unlocker::unlock(record());
  advance(0.36);
  lockMachine().wakeScreens();
  Unlocker::cancelPendingUnlock();
  lockMachine().unlockByUser();
  advance(3);

  EXPECT_EQ(results, (std::vector<Result>{Result::success(), failed(Failure::lockScreenNotFocused),
                                          failed(Failure::cancelled)}));
  const auto entries = logs().entries();
  ASSERT_GE(entries.size(), 5u) << "the roads must have logged something";
  EXPECT_EQ(logCount("Login target changed; cancelling pending input"), 1u);
  EXPECT_GE(logCount("Screen unlocked"), 2u);
  for (const auto& entry : entries) {
    EXPECT_EQ(entry.message.find(kPassword), std::string::npos) << entry.message;
    EXPECT_EQ(entry.message.find("Tr0ub4dor"), std::string::npos) << entry.message;
  }
}

}  // namespace
