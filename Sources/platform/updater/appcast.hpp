// The update feed: an RSS 2.0 document whose channel holds one item per release.
//
//   <rss version="2.0" xmlns:quorvel="http://tessmin.com/xml-namespaces/quorvel-update">
//     <channel>
//       <item>
//         <title>Quorvel 1.4.0</title>
//         <quorvel:version>1.4.0</quorvel:version>
//         <description>Release notes, plain text.</description>
//         <link>https://example.org/releases/1.4.0</link>
//         <enclosure url="https://example.org/Quorvel-1.4.0.tar.gz" length="31457280"
//                    type="application/gzip" quorvel:edSignature="<Base64 of 64 bytes>"/>
//       </item>
//     </channel>
//   </rss>
//
// Every item names its version; the archive's signature is Ed25519 over its bytes. The feed
// itself is signed too (see updater_linux.hpp), and is parsed only after its signature
// verified. Versions are dotted decimal numbers compared part by part ("1.10" > "1.9",
// "1.2" == "1.2.0").
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace platform::updater {

inline constexpr const char* kFeedNamespace = "http://tessmin.com/xml-namespaces/quorvel-update";

// A version: its numbers, trailing zeros dropped.
struct Version {
  std::vector<std::uint64_t> parts;
  auto operator<=>(const Version&) const = default;
};

// No value unless `text` is one to nine dot-separated numbers of at most 9 digits each.
std::optional<Version> parseVersion(std::string_view text);

struct AppcastItem {
  std::string title;
  std::string version;
  std::string releaseNotes;
  std::string releasePage;
  std::string archiveURL;             // empty without an enclosure
  std::int64_t archiveLength = -1;    // -1 when absent or not a number
  std::string archiveSignature;       // Base64, as written
};

struct Appcast {
  std::vector<AppcastItem> items;
  // The item with the highest version (the first of equals); none without items.
  const AppcastItem* newest() const;
};

// The feed's items, or why it cannot be read: not well-formed XML, not an RSS channel, a
// document type declaration (refused), an item without a valid version.
std::variant<Appcast, std::string> parseAppcast(std::string_view xml);

}  // namespace platform::updater
