#include <cstdint>
#include <string>

#include "foundation/log.hpp"
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

class LoggerTest : public quorvel::testing::PlatformTest {};

TEST_F(LoggerTest, LoggersWriteUnderTheirCategoryAndLevel) {
  quorvel::Log::face().error("NativeDlib: failed to load model at %s", "/nope");
  quorvel::Log::unlock().info("Not attempting unlock: %s", "Turned off");
  quorvel::Log::app().log("Quorvel started (overlay available: %{bool}d)", false);
  quorvel::Log::overlay().notice("hidden");
  const auto entries = logs().entries();
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0].subsystem, "com.tessmin.quorvel");
  EXPECT_EQ(entries[0].category, "face");
  EXPECT_EQ(entries[0].level, platform::log::Level::Error);
  EXPECT_EQ(entries[0].message, "NativeDlib: failed to load model at /nope");
  EXPECT_EQ(entries[1].category, "unlock");
  EXPECT_EQ(entries[1].level, platform::log::Level::Info);
  EXPECT_EQ(entries[2].category, "app");
  EXPECT_EQ(entries[2].level, platform::log::Level::Default);
  EXPECT_EQ(entries[2].message, "Quorvel started (overlay available: false)");
  EXPECT_EQ(entries[3].category, "overlay");
  EXPECT_EQ(logs().messages("unlock"), std::vector<std::string>{"Not attempting unlock: Turned off"});
  EXPECT_TRUE(logs().contains("overlay available"));
}

TEST(StandardErrorSinkTest, LineCarriesTimeLevelSubsystemAndCategory) {
  platform::log::StandardErrorSink sink;
  testing::internal::CaptureStderr();
  sink.write({0.0, platform::log::Level::Error, "com.tessmin.quorvel", "face", "hello"});
  const std::string line = testing::internal::GetCapturedStderr();
  EXPECT_EQ(line, "2001-01-01 00:00:00.000 Error   [com.tessmin.quorvel:face] hello\n");
}

}  // namespace
