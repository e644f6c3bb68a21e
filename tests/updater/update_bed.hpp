// What the updater's tests publish updates with: a signing key made by the test, a local HTTPS
// server (tests/updater/update_server.py) whose certificate a test authority made with openssl
// signed, feeds and archives written to it, and bundles that point at it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/desktop_session.hpp"

namespace quorvel::testing {

// An Ed25519 key pair that lives only in this process.
class SigningKey {
 public:
  SigningKey();
  ~SigningKey();
  std::string publicKey() const;                     // Base64 of the 32-byte key
  std::string sign(const std::string& bytes) const;  // Base64 of the signature

 private:
  struct State;
  std::unique_ptr<State> state_;
};

struct Release {
  std::string version;
  std::string archive = "the archive's bytes";
  bool signedByKey = true;   // false: signed by another key
  std::string notes = "";
  std::string link = "";
};

class UpdateBed {
 public:
  // A private folder (removed at the end), the key and the server.
  UpdateBed();
  ~UpdateBed();

  bool serving() const { return !port_.empty(); }
  const std::string& folder() const { return folder_; }
  std::string url(const std::string& path) const { return "https://127.0.0.1:" + port_ + "/" + path; }
  // The paths the server was asked for, in order.
  std::vector<std::string> requests() const;

  // Writes `bytes` to `path` on the server.
  void put(const std::string& path, const std::string& bytes) const;
  // The feed `name`.xml listing `releases` (archives written beside it), and its signature
  // (by another key unless `signedByKey`). Answers its address.
  std::string publish(const std::string& name, const std::vector<Release>& releases, bool signedByKey = true);
  // The same for a feed whose text is `xml` exactly.
  std::string publishText(const std::string& name, const std::string& xml, bool signedByKey = true);

  // A folder holding the shipped executable and its bundle, configured for `feedURL`; the
  // server's authority is trusted only when `trustServer`. Answers the bundle's path.
  std::string bundle(const std::string& name, const std::string& feedURL, bool trustServer = true,
                     const std::string& version = "1.4.0");
  // `quorvel` beside that bundle.
  std::string executable(const std::string& name) const { return folder_ + "/" + name + "/quorvel"; }
  // The environment a run of it gets: its own home and temporary folder, no display.
  std::vector<std::string> environment() const;

  const SigningKey& key() const { return key_; }

 private:
  std::string folder_, port_;
  SigningKey key_, otherKey_;
  std::unique_ptr<ChildProcess> server_;
};

// This process's Qt on an X server of its own, started at the first call (a Qt application
// cannot outlive its server, so both end with the process); its name, empty when it failed.
const std::string& processDisplay();

// An RSS item for `release` whose archive is at `archiveURL`.
std::string itemXML(const Release& release, const std::string& archiveURL, const std::string& signature,
                    std::int64_t length);
// The RSS document holding `items`.
std::string feedXML(const std::vector<std::string>& items);

}  // namespace quorvel::testing
