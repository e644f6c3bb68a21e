// The bundle's update configuration, written by the build into Resources/Updates.json:
//   {"version": "1.4.0",                          the running version (dotted numbers)
//    "feedURL": "https://example.org/appcast.xml", the signed feed (HTTPS only)
//    "publicKey": "<Base64 of 32 bytes>",          the Ed25519 key that signs feed and archives
//    "trustedCertificates": "Certs.pem"}           optional: a PEM file beside it; when given,
//                                                  only these authorities are trusted for the
//                                                  update connections
// Configuration, not code: a build without a feed or key has an updater that does not start,
// and says why.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "platform/updater/updater.hpp"

namespace platform::updater {

inline constexpr const char* kConfigurationResource = "Updates";  // .json

struct UpdateConfiguration {
  std::string hostVersion;
  std::string feedURL;
  std::vector<std::uint8_t> publicKey;     // 32 bytes
  std::string trustedCertificatesPEM;      // empty: the system's authorities
};

// The configuration of the bundle at `bundlePath`, or why the updater cannot start with it.
std::variant<UpdateConfiguration, Error> readUpdateConfiguration(const std::string& bundlePath);

}  // namespace platform::updater
