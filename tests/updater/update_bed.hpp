// What the updater's tests publish updates with: an Ed25519 key made by the test, a local
// HTTPS server (update_server.py) whose certificate a test authority signed, feeds and
// archives on it, and bundles beside the shipped program that point at it.
#pragma once

#include <openssl/evp.h>

#include <memory>
#include <string>
#include <vector>

#include "support/desktop_session.hpp"

namespace quorvel::testing {

class SigningKey {
 public:
  std::string publicKey() const;                     // Base64
  std::string sign(const std::string& bytes) const;  // Base64

 private:
  std::shared_ptr<EVP_PKEY> key_{EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"), EVP_PKEY_free};
};

struct Release {
  std::string version;
  std::string archive = "the archive's bytes";
  bool signedByKey = true;  // false: by another key
  std::string notes = "";
  std::string link = "";
};

class UpdateBed {
 public:
  UpdateBed();  // a private folder, removed at the end, and the server
  ~UpdateBed();
  bool serving() const { return !port_.empty(); }
  const std::string& folder() const { return folder_; }
  std::string url(const std::string& path) const { return "https://127.0.0.1:" + port_ + "/" + path; }
  std::vector<std::string> requests() const;  // the paths asked for, in order
  const SigningKey& key() const { return key_; }

  void put(const std::string& path, const std::string& bytes) const;
  // `name`.xml listing `releases` (their archives beside it) and its signature; its address.
  std::string publish(const std::string& name, const std::vector<Release>& releases, bool signedByKey = true);
  std::string publishText(const std::string& name, const std::string& xml, bool signedByKey = true);

  // The shipped program beside a bundle configured for `feedURL` (trusting the test authority
  // when `trustServer`), in the folder `name`; the bundle's path.
  std::string bundle(const std::string& name, const std::string& feedURL, bool trustServer = true);
  std::string executable(const std::string& name) const { return folder_ + "/" + name + "/quorvel"; }
  // A run's environment: homes and temporary folder in the bed's folder, no display.
  std::vector<std::string> environment() const;

 private:
  std::string folder_, port_;
  SigningKey key_, otherKey_;
  std::unique_ptr<ChildProcess> server_;
};

std::string itemXML(const Release& release, const std::string& archiveURL, const std::string& signature,
                    std::int64_t length);
std::string feedXML(const std::vector<std::string>& items);

}  // namespace quorvel::testing
