// Generic-password items in the desktop's Secret Service (GNOME Keyring, KWallet, ...)
// through libsecret, on the session bus.
//
// An item is a Secret Service item of the schema "com.tessmin.quorvel.GenericPassword" with
// the attributes "service", "account" and "accessible" (the accessibility attribute value,
// "ak", ...); its label is "<service>: <account>" and its secret the value, of content type
// "application/octet-stream". New items go into the collection behind the alias "default".
// Items of other schemas are never seen, even with the same attribute values.
//
// Statuses, the platform's for the same situation:
//   errSecItemNotFound (-25300)          no such item
//   errSecDuplicateItem (-25299)         `add` of an item that exists
//   errSecInteractionNotAllowed (-25308) the item or the default collection is locked: it
//                                        would need an unlock prompt, which is never shown
//                                        (a locked item is never reported as absent)
//   errSecNoDefaultKeychain (-25307)     `add` without a default collection (making one
//                                        would need a prompt)
//   errSecUserCanceled (-128)            the service asked for a prompt that was dismissed
//   errSecAuthFailed (-25293)            the service refused access
//   errSecNotAvailable (-25291)          no answer in time, no session bus or service, or
//                                        the service went away
//   errSecIO (-36)                       any other error of the service
//
// Every call runs on a worker thread of this object and is bounded: a caller waits at most
// `Options::timeout`, after which the call is cancelled and answers errSecNotAvailable. A
// service that restarts is reconnected at the next call.
#pragma once

#include <chrono>
#include <memory>

#include "platform/keychain/keychain.hpp"

namespace platform::keychain {

class SecretServiceWorker;  // the thread that makes the libsecret calls

class SecretServiceKeychain : public Keychain {
 public:
  struct Options {
    std::chrono::milliseconds timeout{3000};
  };
  enum class Availability {
    available,
    // Definitely none: no session bus, or a bus on which nothing provides the service.
    absent,
    // Could not be told now (no answer in time, another error).
    unknown,
  };

  SecretServiceKeychain();
  explicit SecretServiceKeychain(Options options);
  ~SecretServiceKeychain() override;
  SecretServiceKeychain(const SecretServiceKeychain&) = delete;
  SecretServiceKeychain& operator=(const SecretServiceKeychain&) = delete;

  OSStatus add(const std::string& service, const std::string& account, const Bytes& value,
               Accessibility accessibility) override;
  OSStatus update(const std::string& service, const std::string& account,
                  const Bytes& value) override;
  CopyResult copyMatching(const std::string& service, const std::string& account) override;
  OSStatus remove(const std::string& service, const std::string& account) override;

  // Connects when needed and tells whether a Secret Service answers; `status` (when given)
  // receives the failure status of `absent` and `unknown`.
  Availability probe(OSStatus* status = nullptr);

  // The time-out of the calls made from now on (`Options::timeout` until then).
  void setTimeout(std::chrono::milliseconds timeout);

 private:
  std::unique_ptr<SecretServiceWorker> worker_;
};

}  // namespace platform::keychain
