// The unlocker on the simulated machine with virtual time: the whole typing road into the
// login window, every way the road stops, and the request's identity.
#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "foundation/password_vault.hpp"
#include "platform/accessibility/accessibility.hpp"
#include "platform/events/simulated_events.hpp"
#include "support/platform_fixture.hpp"
#include "support/simulated_lock_machine.hpp"
#include "unlock/unlocker.hpp"

namespace {

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
  // Whatever road a test took, the saved password appears in none of the log lines.
  void TearDown() override {
    for (const auto& entry : logs().entries()) {
      EXPECT_EQ(entry.message.find("Tr0ub4dor"), std::string::npos) << entry.message;
    }
    PlatformTest::TearDown();
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
  long logCount(const std::string& message) { return std::ranges::count(logs().messages("unlock"), message); }

  std::vector<Result> results;
  std::vector<std::string> order;
};

// Held modifiers are cleared, so the password is typed as text.
TEST_F(UnlockerTest, TheFullRoadTypesThePasswordAsOneEventAndUnlocks) {
  lockMachine().power().setDisplayAsleep(true);
  lockMachine().events().setModifierState(ev::kEventFlagMaskCommand | ev::kEventFlagMaskShift);
  Unlocker::unlock(record());
  EXPECT_FALSE(lockMachine().power().displayAsleep()) << "the display is woken at once";
  EXPECT_TRUE(results.empty());

  // Boundaries are approached within a millisecond either side.
  advance(0.349);
  EXPECT_TRUE(posted().empty()) << "nothing before 0.35 s";
  // Each posted event as key code, down and text; all go to the login window without flags.
  using Key = std::tuple<int, bool, std::u16string>;
  const auto keys = [this] {
    std::vector<Key> out;
    for (const auto& item : posted()) {
      EXPECT_EQ(item.pid, SimulatedLockMachine::kLoginWindowPID);
      EXPECT_EQ(item.event.flags(), 0u);
      out.emplace_back(item.event.keyCode(), item.event.isKeyDown(), item.event.unicodeString());
    }
    return out;
  };
  advance(0.002);
  std::vector<Key> expected{{0, true, kPassword16}, {0, false, u""}};
  ASSERT_EQ(keys(), expected);
  EXPECT_EQ(posted()[0].event.unicodeStringSetCount(), 1u) << "set in one call, not character by character";
  EXPECT_EQ(lockMachine().loginFieldText(), kPassword16);

  advance(0.038);
  EXPECT_EQ(posted().size(), 2u) << "Return waits 0.04 s";
  advance(0.002);
  expected.insert(expected.end(), {{36, true, u""}, {36, false, u""}});
  EXPECT_EQ(keys(), expected);
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
// the session only. Each verification asks once which application has the focus. The
// password is read when typing starts (here one changed meanwhile), and every code point
// range is converted at its edges.
TEST_F(UnlockerTest, TheTargetIsCheckedAgainBeforeEveryPostAndThePasswordReadWhenTypingStarts) {
  const std::string password = std::string("\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80") +
                               "\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF" + std::string(1, '\0') + "z";
  const std::u16string expected{0x007F, 0x0080, 0x07FF, 0x0800, 0xD7FF, 0xE000, 0xFFFF,
                                0xD800, 0xDC00, 0xDBFF, 0xDFFF, 0x0000, u'z'};
  auto& accessibility = lockMachine().accessibility();
  const auto before = accessibility.focusedQueryCount();
  Unlocker::unlock(record());
  EXPECT_EQ(accessibility.focusedQueryCount() - before, 1u) << "capture";
  advance(0.2);
  ASSERT_TRUE(PasswordVault::set(password));
  lockMachine().setUserPassword(expected);
  advance(0.15);
  ASSERT_EQ(posted().size(), 2u);
  EXPECT_EQ(posted()[0].event.unicodeString(), expected);
  EXPECT_EQ(accessibility.focusedQueryCount() - before, 3u) << "two checks before the password";
  advance(0.04);
  ASSERT_EQ(posted().size(), 4u);
  EXPECT_EQ(accessibility.focusedQueryCount() - before, 4u) << "one check before Return";
  advance(2);
  EXPECT_EQ(accessibility.focusedQueryCount() - before, 4u) << "the confirmation checks the session only";
  EXPECT_EQ(results, std::vector<Result>{Result::success()});
}

// Every way the road stops short of an unlock, before the first key, between the password and
// Return, or at the confirmation; the focus check at the first step comes before the password
// is read.
TEST_F(UnlockerTest, EveryStopOfTheRoadIsReportedOnce) {
  struct Case {
    const char* name;
    std::function<void()> before;  // before the request
    double at;
    std::function<void()> during;  // `at` seconds into it
    Failure failure;
    std::size_t posted;
    bool targetChanged;  // logged "Login target changed; cancelling pending input"
  };
  const auto nothing = [] {};
  const auto popup = [] {
    lockMachine().focus(lockMachine().launch(SimulatedLockMachine::applicationSpec("com.example.popup")));
  };
  const auto failAt = [](int n) { return [n] { lockMachine().events().setKeyboardEventCreationFailsAt(n); }; };
  const Case cases[] = {
      {"focus lost, no password", [] { PasswordVault::clear(); }, 0, [] { lockMachine().focus(lockMachine().finderPID()); },
       Failure::lockScreenNotFocused, 0, true},
      {"no password", [] { PasswordVault::clear(); }, 0, nothing, Failure::noPassword, 0, false},
      {"another process focused", nothing, 0, popup, Failure::lockScreenNotFocused, 0, true},
      {"restarted login window, same identifier", nothing, 0.2,
       [] {
         lockMachine().restart(SimulatedLockMachine::kLoginWindowPID);
         lockMachine().focus(SimulatedLockMachine::kLoginWindowPID);
       },
       Failure::lockScreenNotFocused, 0, true},
      {"focus lost before Return", nothing, 0.35, popup, Failure::lockScreenNotFocused, 2, true},
      {"unlocked before Return, no notification", nothing, 0.35, [] { lockMachine().unlockByUser(false); },
       Failure::lockScreenNotFocused, 2, true},
      {"rejected password", [] { lockMachine().setUserPassword(u"something else"); }, 0, nothing,
       Failure::notUnlocked, 4, false},
      {"no event source", [] { lockMachine().events().setSourceCreationFails(true); }, 0, nothing,
       Failure::eventSourceFailed, 0, false},
      {"first key event", failAt(1), 0, nothing, Failure::eventSourceFailed, 0, false},
      {"second key event", failAt(2), 0, nothing, Failure::eventSourceFailed, 0, false},
      {"third key event", failAt(3), 0, nothing, Failure::eventSourceFailed, 0, false},
      {"fourth key event", failAt(4), 0, nothing, Failure::eventSourceFailed, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    c.before();
    Unlocker::unlock(record());
    advance(c.at);
    c.during();
    advance(2);
    EXPECT_EQ(results, std::vector<Result>{failed(c.failure)});
    EXPECT_EQ(posted().size(), c.posted);
    const std::string changed = "Login target changed; cancelling pending input";
    EXPECT_EQ(logCount(changed), c.targetChanged ? 1 : 0);
    for (const auto& entry : logs().entries()) {
      EXPECT_TRUE(entry.message != changed || entry.level == platform::log::Level::Default);
    }
    EXPECT_TRUE(c.posted > 0 || lockMachine().loginFieldText().empty());
    results.clear();
  }
}

// Without Accessibility, or with an impostor in the login window's place, a request fails
// synchronously, inside the call, with nothing scheduled and no display wake.
TEST_F(UnlockerTest, ARequestWithoutAccessibilityOrTargetFailsAtOnce) {
  lockMachine().accessibility().setTrusted(false);
  Unlocker::unlock(record());
  EXPECT_EQ(results, std::vector<Result>{failed(Failure::noAccessibility)});
  EXPECT_EQ(lockMachine().accessibility().focusedQueryCount(), 0u);
  lockMachine().accessibility().setTrusted(true);
  auto unsignedCopy = SimulatedLockMachine::loginWindowSpec();
  unsignedCopy.signature = platform::codesign::Signature{};
  lockMachine().launch(unsignedCopy, SimulatedLockMachine::kLoginWindowPID);
  Unlocker::unlock(record());
  EXPECT_EQ(results, (std::vector<Result>{failed(Failure::noAccessibility), failed(Failure::lockScreenNotFocused)}));
  EXPECT_TRUE(lockMachine().power().created().empty());
  EXPECT_EQ(scheduler().pendingCount(), 0u);
  advance(2);
  EXPECT_TRUE(posted().empty());
  EXPECT_EQ(logCount("Login target changed; cancelling pending input"), 0);
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

  // A second request that fails at once still cancels the first.
  order.clear();
  lockMachine().lock();
  Unlocker::unlock(record("third"));
  lockMachine().accessibility().setTrusted(false);
  Unlocker::unlock(record("fourth"));
  EXPECT_EQ(order, (std::vector<std::string>{"third:Unlock attempt cancelled", "fourth:Accessibility permission is off"}));
  advance(2);
  EXPECT_EQ(posted().size(), 4u);
  EXPECT_EQ(order.size(), 2u);
}

TEST_F(UnlockerTest, CancellingBetweenStepsEndsAtOnceAndLaterStepsDoNothing) {
  Unlocker::cancelPendingUnlock();  // without a request: nothing
  EXPECT_TRUE(results.empty());
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

  // After a request has finished: nothing.
  results.clear();
  lockMachine().setUserPassword(kPassword16);
  Unlocker::unlock(record());
  advance(2);
  Unlocker::cancelPendingUnlock();
  EXPECT_EQ(results, std::vector<Result>{Result::success()});
}

}  // namespace
