// The updater's readers: versions, the feed, the bundle's configuration, and the release
// notes as the dialog shows them.
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
  EXPECT_GT(v("2.0.1"), v("2"));
  EXPECT_EQ(v("007.1"), v("7.1"));
}

TEST(AppcastTest, ItemsAreReadWithTheirArchiveAndTheHighestVersionIsTheNewest) {
  const Release notes{"1.10.0", "", true, "Line one.\n<b>not markup</b>", "https://example.org/1.10"};
  auto parsed = parseAppcast(feedXML({itemXML({"1.9.3"}, "a.tar.gz", "c2ln", 12),
                                      "<item><extra><title>nested</title></extra>" + itemXML(notes, "https://h/b.tgz", "c2ln", 34).substr(6),
                                      itemXML({"1.10"}, "c.tar.gz", "c2ln", 5)}));
  ASSERT_TRUE(std::holds_alternative<Appcast>(parsed)) << std::get<std::string>(parsed);
  const Appcast& appcast = std::get<Appcast>(parsed);
  ASSERT_EQ(appcast.items.size(), 3u);
  const AppcastItem& newest = *appcast.newest();
  EXPECT_EQ(&newest, &appcast.items[1]) << "the first of the equal highest";
  EXPECT_EQ(newest.title, "Quorvel 1.10.0");
  EXPECT_EQ(newest.releaseNotes, notes.notes);
  EXPECT_EQ(newest.releasePage, notes.link);
  EXPECT_EQ(newest.archiveURL, "https://h/b.tgz");
  EXPECT_EQ(newest.archiveLength, 34);
  EXPECT_EQ(newest.archiveSignature, "c2ln");
  EXPECT_FALSE(std::get<Appcast>(parseAppcast(feedXML({}))).newest());
}

TEST(AppcastTest, WhatIsNotAnRssChannelWithVersionedItemsIsRefusedWithItsReason) {
  const std::string ns = std::string("xmlns:quorvel=\"") + kFeedNamespace + "\"";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"<rss><channel><item>", "Premature end of document"},
      {"<?xml version=\"1.0\"?><!DOCTYPE rss [<!ENTITY a \"aaaa\">]><rss><channel/></rss>",
       "document type declarations are not allowed"},
      {"<feed><channel/></feed>", "the document is not an RSS feed"},
      {"<rss version=\"2.0\"></rss>", "the feed has no channel"},
      {"<rss " + ns + "><channel>\n<item><quorvel:version>1.0</quorvel:version></item>\n<item><version>2.0</version></item></channel></rss>",
       "the item on line 3 has no valid version (\"\")"},
      {"<rss><channel/></rss><rss/>", "Extra content at end of document"},
  };
  for (const auto& [xml, reason] : cases) {
    const auto parsed = parseAppcast(xml);
    ASSERT_TRUE(std::holds_alternative<std::string>(parsed)) << xml;
    EXPECT_NE(std::get<std::string>(parsed).find(reason), std::string::npos) << std::get<std::string>(parsed);
  }
  // A signature outside our namespace is no signature.
  const auto parsed = parseAppcast("<rss " + ns + "><channel><item><quorvel:version>1</quorvel:version>"
                                   "<enclosure url=\"u\" length=\"+3\" edSignature=\"c2ln\"/></item></channel></rss>");
  EXPECT_EQ(std::get<Appcast>(parsed).items.at(0).archiveSignature, "");
  EXPECT_EQ(std::get<Appcast>(parsed).items.at(0).archiveLength, -1);
}

class UpdateConfigurationTest : public PlatformTest {};

TEST_F(UpdateConfigurationTest, ABuildWithoutAUsableFeedOrKeyCannotStartAndSaysWhy) {
  EXPECT_EQ(std::get<Error>(readUpdateConfiguration(testBundlePath())).localizedDescription,
            "This build of Quorvel has no update feed configured.");
  const std::string key = SigningKey().publicKey();
  const auto file = [&](const std::string& version, const std::string& feed, const std::string& publicKey,
                        const std::string& extra = "") {
    addBundleFile("Updates.json", "{\"version\": \"" + version + "\", \"feedURL\": \"" + feed +
                                      "\", \"publicKey\": \"" + publicKey + "\"" + extra + "}");
    return readUpdateConfiguration(testBundlePath());
  };
  const std::string feed = "https://example.org/appcast.xml";
  const std::vector<std::pair<std::variant<UpdateConfiguration, Error>, Error>> cases = {
      {file("1.0", "", key), {kErrorDomain, 4, "This build of Quorvel has no update feed configured."}},
      {file("1.0", "http://example.org/a.xml", key),
       {kErrorDomain, 3, "The update feed address must be an https:// address (\"http://example.org/a.xml\")."}},
      {file("1.0", "https:///a.xml", key),
       {kErrorDomain, 3, "The update feed address must be an https:// address (\"https:///a.xml\")."}},
      {file("1.0", feed, ""), {kErrorDomain, 1, "This build of Quorvel has no update signing key configured."}},
      {file("1.0", feed, "AAAA"),
       {kErrorDomain, 1, "The update signing key of this build is not an Ed25519 public key (32 bytes in Base64)."}},
      {file("", feed, key), {kErrorDomain, 7, "This build of Quorvel names no valid version of its own (\"\")."}},
      {file("1.0", feed, key, ", \"trustedCertificates\": \"none.pem\""),
       {kErrorDomain, 4, "The update feed's trusted certificates (none.pem) could not be read."}},
      {file("1.0", feed, key, ", \"trustedCertificates\": \"../Updates.json\""),
       {kErrorDomain, 4, "The update feed's trusted certificates (../Updates.json) could not be read."}},
  };
  for (const auto& [read, expected] : cases) {
    ASSERT_TRUE(std::holds_alternative<Error>(read)) << expected.localizedDescription;
    EXPECT_EQ(std::get<Error>(read), expected);
  }
  addBundleFile("Updates.json", "{\"version\": ");
  EXPECT_NE(std::get<Error>(readUpdateConfiguration(testBundlePath())).localizedDescription.find("could not be read"),
            std::string::npos);

  addBundleFile("ca.pem", "-----BEGIN CERTIFICATE-----\nMII=\n-----END CERTIFICATE-----\n");
  const auto good = file("2.10.1", feed, key, ", \"trustedCertificates\": \"ca.pem\"");
  ASSERT_TRUE(std::holds_alternative<UpdateConfiguration>(good));
  const auto& configuration = std::get<UpdateConfiguration>(good);
  EXPECT_EQ(configuration.hostVersion, "2.10.1");
  EXPECT_EQ(configuration.feedURL, feed);
  EXPECT_EQ(configuration.publicKey.size(), 32u);
  EXPECT_EQ(configuration.trustedCertificatesPEM.rfind("-----BEGIN CERTIFICATE-----", 0), 0u);
}

TEST(UpdateNotesTest, LongNotesAreCutAtTheirLimitWithoutSplittingACharacter) {
  EXPECT_EQ(shortenedNotes("Short."), "Short.");
  const std::string lines = std::string(kMaximumNotesLines + 3, '\n');
  EXPECT_EQ(shortenedNotes(lines), std::string(kMaximumNotesLines - 1, '\n') + "\u2026");
  // After the "a", two-byte characters: the limit falls inside one, which goes whole.
  std::string many;
  for (std::size_t i = 0; i < kMaximumNotesBytes; ++i) many += "\u00e9";
  EXPECT_EQ(shortenedNotes("a" + many), "a" + many.substr(0, kMaximumNotesBytes - 2) + "\u2026");
}

}  // namespace
}  // namespace quorvel::testing
