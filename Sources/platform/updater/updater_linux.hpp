// The linux update framework: a signed RSS feed (appcast.hpp) fetched over HTTPS with Qt
// Network (transfer_linux.hpp) and Ed25519 signatures checked with OpenSSL
// (update_signature.hpp), configured by the bundle (update_configuration.hpp).
//
// A check, on a queue of its own:
//  1. fetches the feed and its signature, served at the feed's address with ".sig" added to
//     its path: the Base64 Ed25519 signature of the feed's exact bytes;
//  2. verifies that signature with the bundle's key, and only then parses the feed;
//  3. takes the item with the highest version; unless it is newer than the running version,
//     the cycle ends with the framework's "no update" error;
//  4. downloads the item's archive (its length as the feed gives it, at most the limit) and
//     verifies the archive's own signature; nothing unverified is offered or kept. A check the
//     user asked for keeps the verified archive in the Application Support folder's "Updates"
//     folder, where the user takes it from; the update-information check deletes it.
// Nothing is ever installed. Every transfer is bounded in size, silence, time and redirects.
#pragma once

#include <memory>

#include "platform/updater/transfer_linux.hpp"
#include "platform/updater/updater.hpp"

namespace platform::updater {

struct UpdaterLimits {
  TransferLimits feed{4 << 20, 30, 60, 5};
  TransferLimits signature{4096, 30, 60, 5};
  TransferLimits archive{std::int64_t{1} << 30, 30, 1800, 5};
};

std::shared_ptr<UpdateFramework> makeLinuxUpdateFramework(UpdaterLimits limits = {});

// The folder, under the Application Support folder, where a check the user asked for keeps
// verified archives.
inline constexpr const char* kUpdatesFolderName = "Updates";

}  // namespace platform::updater
