// The updater's readers: versions, the feed, the bundle's configuration, the notes as the
// dialog shows them. (What they read right, the roads in the other tests show.)
#include <gtest/gtest.h>

#include "platform/updater/appcast.hpp"
#include "platform/updater/standard_user_driver.hpp"
#include "platform/updater/update_configuration.hpp"
#include "support/models_hooks.hpp"
#include "support/platform_fixture.hpp"
#include "updater/update_bed.hpp"

namespace quorvel::testing {
namespace {

using namespace platform::updater;

TEST(UpdateVersionTest, DottedNumbersCompareByPartWithMissingPartsZero) {
  for (const char* bad : {"", "1.", ".1", "1..2", "v1.2", "1.2-beta", "1.2 ", "-1", "1234567890", "1.2.3.4.5.6.7.8.9.10"}) {
    EXPECT_FALSE(parseVersion(bad)) << bad;
  }
  const auto v = [](const char* text) { return *parseVersion(text); };
  EXPECT_GT(v("1.10"), v("1.9"));
  EXPECT_EQ(v("1.2"), v("1.2.0.0"));
  EXPECT_LT(v("0.9.9"), v("1"));
  EXPECT_EQ(v("007.1"), v("7.1"));
}

TEST(AppcastTest, WhatIsNotAnRssChannelOfVersionedItemsIsRefusedWithItsReason) {
  const std::string ns = std::string("xmlns:quorvel=\"") + kFeedNamespace + "\"";
  for (const auto& [xml, reason] : std::vector<std::pair<std::string, std::string>>{
           {"<rss><channel><item>", "Premature end of document"},
           {"<!DOCTYPE rss [<!ENTITY a \"aaaa\">]><rss><channel/></rss>", "document type declarations are not allowed"},
           {"<feed><channel/></feed>", "the document is not an RSS feed"},
           {"<rss version=\"2.0\"></rss>", "the feed has no channel"},
           {"<rss " + ns + "><channel>\n<item><quorvel:version>1</quorvel:version></item>\n<item><version>2</version></item>",
            "the item on line 3 has no valid version (\"\")"},
           {"<rss><channel/></rss><rss/>", "Extra content at end of document"}}) {
    const auto parsed = parseAppcast(xml);
    ASSERT_TRUE(std::holds_alternative<std::string>(parsed)) << xml;
    EXPECT_NE(std::get<std::string>(parsed).find(reason), std::string::npos) << std::get<std::string>(parsed);
  }
  // A signature outside our namespace is none; a length with a sign is none.
  const auto parsed = parseAppcast("<rss " + ns + "><channel><item><quorvel:version>1</quorvel:version>"
                                   "<enclosure url=\"u\" length=\"+3\" edSignature=\"c2ln\"/></item></channel></rss>");
  EXPECT_EQ(std::get<Appcast>(parsed).items.at(0).archiveSignature, "");
  EXPECT_EQ(std::get<Appcast>(parsed).items.at(0).archiveLength, -1);
}

class UpdateConfigurationTest : public PlatformTest {};

TEST_F(UpdateConfigurationTest, AFeedKeyOrVersionThatCannotBeUsedKeepsTheUpdaterFromStartingAndSaysWhy) {
  const std::string key = SigningKey().publicKey(), feed = "https://example.org/a.xml";
  const auto read = [&](const std::string& version, const std::string& url, const std::string& publicKey,
                        const std::string& extra = "") {
    addBundleFile("Updates.json", "{\"version\": \"" + version + "\", \"feedURL\": \"" + url + "\", \"publicKey\": \"" +
                                      publicKey + "\"" + extra + "}");
    return readUpdateConfiguration(testBundlePath());
  };
  for (const auto& [configuration, code, description] : std::vector<std::tuple<std::variant<UpdateConfiguration, Error>, int, std::string>>{
           {read("1.0", "http://example.org/a.xml", key), 3,
            "The update feed address must be an https:// address (\"http://example.org/a.xml\")."},
           {read("1.0", "https:///a.xml", key), 3, "The update feed address must be an https:// address (\"https:///a.xml\")."},
           {read("1.0", feed, ""), 1, "This build of Quorvel has no update signing key configured."},
           {read("1.0", feed, "AAAA"), 1, "The update signing key of this build is not an Ed25519 public key (32 bytes in Base64)."},
           {read("1.0-rc", feed, key), 7, "This build of Quorvel names no valid version of its own (\"1.0-rc\")."},
           {read("1.0", feed, key, ", \"trustedCertificates\": \"../Updates.json\""), 4,
            "The update feed's trusted certificates (../Updates.json) could not be read."}}) {
    EXPECT_EQ(std::get<Error>(configuration), (Error{kErrorDomain, code, description}));
  }
  addBundleFile("ca.pem", "-----BEGIN CERTIFICATE-----\nMII=\n-----END CERTIFICATE-----\n");
  const auto good = std::get<UpdateConfiguration>(read("2.10.1", feed, key, ", \"trustedCertificates\": \"ca.pem\""));
  EXPECT_EQ(good.hostVersion + " " + good.feedURL, "2.10.1 " + feed);
  EXPECT_EQ(good.publicKey.size(), 32u);
  EXPECT_EQ(good.trustedCertificatesPEM.rfind("-----BEGIN CERTIFICATE-----", 0), 0u);
}

TEST(UpdateNotesTest, LongNotesAreCutAtTheirLimitWithoutSplittingACharacter) {
  EXPECT_EQ(shortenedNotes("Short."), "Short.");
  EXPECT_EQ(shortenedNotes(std::string(kMaximumNotesLines + 3, '\n')), std::string(kMaximumNotesLines - 1, '\n') + "\u2026");
  // After the "a", two-byte characters: the limit falls inside one, which goes whole.
  std::string many;
  for (std::size_t i = 0; i < kMaximumNotesBytes; ++i) many += "\u00e9";
  EXPECT_EQ(shortenedNotes("a" + many), "a" + many.substr(0, kMaximumNotesBytes - 2) + "\u2026");
}

}  // namespace
}  // namespace quorvel::testing
