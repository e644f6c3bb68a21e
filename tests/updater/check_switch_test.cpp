// The shipped program's "--check-for-updates" against a local HTTPS server: its printed line
// and exit status for every kind of feed, from a bundle of the test's own beside the program.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>

#include "updater/update_bed.hpp"

namespace quorvel::testing {
namespace {

constexpr const char* kNoUpdate =
    "OK: feed reachable, parsed, signature valid. No update available (expected, already current)\n";

class CheckSwitchTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(bed.serving()) << "the HTTPS server did not start"; }

  // Runs the switch from a bundle named `name` configured for `feedURL`: the status and the
  // printed lines.
  std::pair<int, std::string> check(const std::string& name, const std::string& feedURL, bool trustServer = true) {
    bed.bundle(name, feedURL, trustServer);
    std::string printed;
    const int status = runCommand({bed.executable(name), "--check-for-updates"}, bed.environment(), 120, &printed);
    return {status, printed};
  }
  bool requested(const std::string& path) const {
    const auto paths = bed.requests();
    return std::find(paths.begin(), paths.end(), path) != paths.end();
  }

  UpdateBed bed;
};

// A port nothing listens on: one the system handed out and took back.
int closedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  ::close(fd);
  return ntohs(address.sin_port);
}

TEST_F(CheckSwitchTest, CurrentOlderAndNewerFeedsAreOKAndOnlyANewerOneDownloadsItsArchive) {
  // The running version is 1.4.0.
  EXPECT_EQ(check("current", bed.publish("current", {{"1.3.9"}, {"1.4"}})), std::pair(0, std::string(kNoUpdate)));
  EXPECT_EQ(check("older", bed.publish("older", {{"1.3.10"}})), std::pair(0, std::string(kNoUpdate)));
  EXPECT_FALSE(requested("current-1.4.tar.gz") || requested("older-1.3.10.tar.gz"));

  // 1.10.0 is the newest, though neither first nor last.
  EXPECT_EQ(check("newer", bed.publish("newer", {{"1.4.0"}, {"1.10.0", std::string(300000, 'q')}, {"1.9"}})),
            std::pair(0, std::string("OK: update found and verified\n")));
  EXPECT_TRUE(requested("newer-1.10.0.tar.gz"));
  EXPECT_FALSE(requested("newer-1.9.tar.gz"));
  // The check keeps nothing.
  EXPECT_TRUE(std::filesystem::is_empty(bed.folder() + "/tmp"));
  EXPECT_FALSE(std::filesystem::exists(bed.folder() + "/data"));
}

TEST_F(CheckSwitchTest, EveryFaultOfTheRoadFailsWithItsReason) {
  const std::string unreachable = "https://127.0.0.1:" + std::to_string(closedPort()) + "/appcast.xml";
  const std::string good = bed.publish("good", {{"2.0"}});
  const std::string malformed = bed.publishText("malformed", "<rss><channel><item><title>Q</title></channel></rss>");
  const std::string forged = bed.publish("forged", {{"2.0"}}, false);
  bed.put("unsigned.xml", feedXML({}));
  const std::string badArchive = bed.publish("bad-archive", {{"2.0", "evil bytes", false}});
  const std::string fetching = "FAILED: The update feed could not be fetched from ";
  const std::vector<std::tuple<std::string, std::string, bool, std::string>> cases = {
      {"unreachable", unreachable, true, fetching + unreachable + ": Connection refused.\n"},
      {"untrusted", good, false, fetching + good + ": SSL handshake failed"},
      {"malformed", malformed, true, "FAILED: The update feed could not be read: Opening and ending tag mismatch."},
      {"forged", forged, true, "FAILED: The update feed's signature is not valid.\n"},
      {"unsigned", bed.url("unsigned.xml"), true,
       "FAILED: The update feed's signature could not be fetched from " + bed.url("unsigned.xml.sig") + ": "},
      {"bad-archive", badArchive, true, "FAILED: The update archive's signature is not valid.\n"},
      {"endless", bed.url("endless"), true, fetching + bed.url("endless") + ": the response is larger than 4 MB.\n"},
      {"huge", bed.url("huge"), true, fetching + bed.url("huge") + ": the response is larger than 4 MB.\n"},
  };
  for (const auto& [name, feed, trusted, printed] : cases) {
    const auto [status, output] = check(name, feed, trusted);
    EXPECT_EQ(status, 1) << name;
    EXPECT_EQ(output.substr(0, printed.size()), printed) << name;
  }
  // Neither a forged feed's archive nor anything of an unverified archive was kept.
  EXPECT_FALSE(requested("forged-2.0.tar.gz"));
  EXPECT_TRUE(std::filesystem::is_empty(bed.folder() + "/tmp"));
}

TEST_F(CheckSwitchTest, ABuildWithoutAFeedDoesNotStartItsUpdater) {
  EXPECT_EQ(check("unconfigured", ""),
            std::pair(1, std::string("FAILED to start updater: This build of Quorvel has no update feed configured.\n")));
}

}  // namespace
}  // namespace quorvel::testing
