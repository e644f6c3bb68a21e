// One bounded HTTPS transfer of the updater, with Qt Network: https only (a redirect may not
// leave it), a size limit, a time-out for silence and one for the whole transfer, and a
// limit on redirects. It runs on the process's network thread, a Qt thread that needs the
// process's QCoreApplication, and blocks its caller until the transfer ends.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace platform::updater {

struct TransferLimits {
  std::int64_t maximumBytes = 0;
  double idleSeconds = 30;    // no data for this long ends the transfer
  double totalSeconds = 60;   // the whole transfer
  int maximumRedirects = 5;
};

// Takes the body piece by piece; false ends the transfer (the piece could not be kept).
using BodySink = std::function<bool(const char* data, std::size_t size)>;

// Fetches `url` into `sink`. No value when the whole body arrived with a success status;
// otherwise why not, in words ("Connection refused", "the response is larger than 4 MB").
// `trustedCertificatesPEM`, when not empty, replaces the system's certificate authorities.
std::optional<std::string> transfer(const std::string& url, const std::string& trustedCertificatesPEM,
                                    const TransferLimits& limits, const BodySink& sink);

// `reference` (an enclosure's address) read against `base` (the feed's); no value unless the
// result is an https address.
std::optional<std::string> resolveAddress(const std::string& base, const std::string& reference);
// The feed's signature address: the feed's with ".sig" added to its path.
std::string signatureAddress(const std::string& feedURL);
// The last part of the address's path, when it is a plain file name.
std::string fileNameOf(const std::string& url);
// "4 MB", "512 KB", "300 bytes".
std::string sizeText(std::int64_t bytes);

}  // namespace platform::updater
