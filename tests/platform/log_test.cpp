#include <cstdint>
#include <string>

#include "platform/log/log.hpp"
#include "support/platform_fixture.hpp"

namespace {

using platform::log::format;
using platform::log::makeArg;

TEST(LogFormatTest, AnnotationsAreStrippedAndValuesFormatted) {
  EXPECT_EQ(format("Keychain status %{public}d", {makeArg(-25300)}), "Keychain status -25300");
  EXPECT_EQ(format("placement %{public}s", {makeArg("x=596")}), "placement x=596");
  EXPECT_EQ(format("%{private}s!", {makeArg(std::string("secret"))}), "secret!");
  EXPECT_EQ(format("Quorvel started (overlay available: %{bool}d)", {makeArg(true)}),
            "Quorvel started (overlay available: true)");
  EXPECT_EQ(format("%{bool}d/%{bool}d", {makeArg(false), makeArg(0)}), "false/false");
  EXPECT_EQ(format("%{BOOL}d", {makeArg(1)}), "YES");
}

TEST(LogFormatTest, PrintfConversionsAndLengthModifiers) {
  EXPECT_EQ(format("Camera not ready yet, retrying (%ld attempt(s) left)", {makeArg(4L)}),
            "Camera not ready yet, retrying (4 attempt(s) left)");
  EXPECT_EQ(format("Match: %f, liveness %f", {makeArg(0.45), makeArg(0.9f)}),
            "Match: 0.450000, liveness 0.900000");
  EXPECT_EQ(format("%.3f|%5d|%-3d|%x|%lld", {makeArg(1.23456), makeArg(42), makeArg(7),
                                              makeArg(255), makeArg(INT64_C(-9000000000))}),
            "1.235|   42|7  |ff|-9000000000");
  EXPECT_EQ(format("%s and %@", {makeArg("a"), makeArg(std::string("b"))}), "a and b");
  EXPECT_EQ(format("100%% sure", {}), "100% sure");
  EXPECT_EQ(format("%u", {makeArg(4000000000u)}), "4000000000");
}

TEST(LogFormatTest, MismatchedOrMissingArgumentsNeverCrash) {
  EXPECT_EQ(format("%s %s", {makeArg("one")}), "one <missing>");
  EXPECT_EQ(format("%d", {makeArg(2.9)}), "2");
  EXPECT_EQ(format("%s", {makeArg(5)}), "5");
  EXPECT_EQ(format("%f", {makeArg(std::string("x"))}), "0.000000");
  EXPECT_EQ(format("trailing %", {}), "trailing %");
  EXPECT_EQ(format("open %{public", {makeArg(1)}), "open %{public");
}

TEST(StandardErrorSinkTest, LineCarriesTimeLevelSubsystemAndCategory) {
  platform::log::StandardErrorSink sink;
  testing::internal::CaptureStderr();
  sink.write({0.0, platform::log::Level::Error, "com.tessmin.quorvel", "face", "hello"});
  const std::string line = testing::internal::GetCapturedStderr();
  EXPECT_EQ(line, "2001-01-01 00:00:00.000 Error   [com.tessmin.quorvel:face] hello\n");
}

}  // namespace
