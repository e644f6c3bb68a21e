// The attempt session: which UUID is current, from any thread.
#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "unlock/unlock_session.hpp"

namespace {

using quorvel::UnlockSession;
using platform::uuid::UUID;

// Nothing is current in a new or invalidated session; a new attempt replaces the old one.
TEST(UnlockSessionTest, OnlyTheLatestAttemptIsCurrentUntilInvalidated) {
  UnlockSession session;
  EXPECT_FALSE(session.current().has_value());
  EXPECT_FALSE(session.contains(UUID()));
  session.invalidate();  // without an attempt: changes nothing
  EXPECT_FALSE(session.current().has_value());

  const UUID first = session.begin();
  const UUID second = session.begin();
  EXPECT_NE(first, second);
  EXPECT_FALSE(session.contains(first));
  EXPECT_TRUE(session.contains(second));
  EXPECT_EQ(session.current(), second);
  session.invalidate();
  EXPECT_FALSE(session.contains(second));
  EXPECT_FALSE(session.current().has_value());
}

TEST(UnlockSessionTest, UUIDsAreRandomVersionFourInTheUsualForm) {
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    const std::string text = UUID().uuidString();
    ASSERT_EQ(text.size(), 36u);
    EXPECT_EQ(text[8], '-');
    EXPECT_EQ(text[14], '4');
    EXPECT_NE(std::string("89AB").find(text[19]), std::string::npos);
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 1000u);
}

// A camera-queue reader and a main-thread writer: a reader that sees an attempt as current
// must have been handed that attempt's UUID, never a torn or foreign one.
TEST(UnlockSessionTest, ReadersOnOtherThreadsSeeOnlyWholeAttempts) {
  UnlockSession session;
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::vector<std::thread> readers;
  std::set<std::string> begun;
  std::mutex begunMutex;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      while (!done) {
        auto current = session.current();
        if (!current) continue;
        std::lock_guard<std::mutex> lock(begunMutex);
        if (!begun.count(current->uuidString())) ++torn;
      }
    });
  }
  for (int i = 0; i < 2000; ++i) {
    std::lock_guard<std::mutex> lock(begunMutex);
    begun.insert(session.begin().uuidString());
    if (i % 7 == 0) session.invalidate();
  }
  done = true;
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(torn.load(), 0);
}

}  // namespace
