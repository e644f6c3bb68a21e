#include "platform/updater/update_configuration.hpp"

#include <nlohmann/json.hpp>

#include "platform/bundle/bundle.hpp"
#include "platform/encoding/base64.hpp"
#include "platform/files/files.hpp"
#include "platform/updater/appcast.hpp"
#include "platform/updater/update_signature.hpp"

namespace platform::updater {
namespace {

// The configuration file and the certificates are small; anything larger is not ours.
constexpr std::size_t kMaximumFileSize = 1 << 20;

Error failure(std::int64_t code, std::string description) {
  return Error{kErrorDomain, code, std::move(description)};
}

std::optional<std::string> readSmallFile(const std::string& path) {
  auto bytes = platform::files::readWholeFile(path);
  if (!bytes || bytes->size() > kMaximumFileSize) return std::nullopt;
  return std::string(bytes->begin(), bytes->end());
}

std::string stringField(const nlohmann::json& object, const char* name) {
  const auto found = object.find(name);
  return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

// An https address with a host and nothing a person could not read in it.
bool isHttpsAddress(const std::string& url) {
  constexpr std::string_view scheme = "https://";
  if (url.compare(0, scheme.size(), scheme) != 0 || url.size() == scheme.size()) return false;
  if (url[scheme.size()] == '/') return false;
  for (const unsigned char c : url) {
    if (c <= ' ' || c >= 0x7f) return false;
  }
  return true;
}

}  // namespace

std::variant<UpdateConfiguration, Error> readUpdateConfiguration(const std::string& bundlePath) {
  const platform::bundle::Bundle bundle(bundlePath);
  const auto path = bundle.fileURL(kConfigurationResource, "json");
  if (!path) return failure(kInvalidFeedURLErrorCode, "This build of Quorvel has no update feed configured.");
  const auto text = readSmallFile(*path);
  const nlohmann::json object = text ? nlohmann::json::parse(*text, nullptr, false) : nlohmann::json();
  if (!object.is_object()) {
    return failure(kInvalidFeedURLErrorCode, "The update configuration of this build (" + *path +
                                                 ") could not be read.");
  }
  UpdateConfiguration configuration;
  configuration.hostVersion = stringField(object, "version");
  if (!parseVersion(configuration.hostVersion)) {
    return failure(kInvalidHostVersionErrorCode, "This build of Quorvel names no valid version of its own (\"" +
                                                     configuration.hostVersion + "\").");
  }
  configuration.feedURL = stringField(object, "feedURL");
  if (configuration.feedURL.empty()) {
    return failure(kInvalidFeedURLErrorCode, "This build of Quorvel has no update feed configured.");
  }
  if (!isHttpsAddress(configuration.feedURL)) {
    return failure(kInsecureFeedURLErrorCode,
                   "The update feed address must be an https:// address (\"" + configuration.feedURL + "\").");
  }
  const std::string key = stringField(object, "publicKey");
  if (key.empty()) return failure(kNoPublicKeyErrorCode, "This build of Quorvel has no update signing key configured.");
  auto decoded = platform::encoding::base64Decode(key);
  if (!decoded || !isPublicKey(*decoded)) {
    return failure(kNoPublicKeyErrorCode,
                   "The update signing key of this build is not an Ed25519 public key (32 bytes in Base64).");
  }
  configuration.publicKey = std::move(*decoded);
  if (object.contains("trustedCertificates")) {
    const std::string certificates = stringField(object, "trustedCertificates");
    const auto file = bundle.fileURL(certificates, "");
    const auto pem = file ? readSmallFile(*file) : std::nullopt;
    if (!pem || pem->find("-----BEGIN CERTIFICATE-----") == std::string::npos) {
      return failure(kInvalidFeedURLErrorCode,
                     "The update feed's trusted certificates (" + certificates + ") could not be read.");
    }
    configuration.trustedCertificatesPEM = *pem;
  }
  return configuration;
}

}  // namespace platform::updater
