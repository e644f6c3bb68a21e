// The keychain of the linux implementation: the desktop's Secret Service, with the file store
// only as the fallback when no Secret Service runs.
//
// At the first call it asks the session bus for a Secret Service:
// - none (no session bus, or nothing provides the service): every call of this process goes
//   to the file store, and the log says so once;
// - one answers: the items of the file store are moved into it (`moveItems`); when that
//   completes every call goes to the Secret Service. Otherwise (a locked keyring, no answer in
//   time, a file that cannot be read, another process still moving them) the call fails with
//   the move's status, the file is left intact and the next call tries again: the key may
//   already live in the Secret Service, so nothing may be made in the file instead;
// - no answer in time: the call fails with errSecNotAvailable and the next call asks again.
// The choice never changes within a process: a Secret Service that goes away later makes the
// calls fail, never fall back to a file that may hold older items.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/keychain/file_keychain.hpp"
#include "platform/keychain/keychain.hpp"
#include "platform/keychain/secret_service_keychain.hpp"

namespace platform::keychain {

struct MoveOutcome {
  // Every item of the file store is in the target now (or kept, below) and the moved ones
  // are gone from the file; false leaves the file store as it was.
  bool complete = false;
  // The failing status when not complete.
  OSStatus status = errSecSuccess;
  std::size_t moved = 0;
  // Items the target already holds with another value: its value stays, and so does the
  // file's copy.
  std::vector<std::string> kept;
  // Another process held the file's lock for longer than the wait: nothing was tried.
  bool busy = false;
};

// How long a move waits for another process's move of the same file to end.
inline constexpr std::chrono::milliseconds kMoveLockLimit{10000};

// Moves every item of `file` into `target`: copies the items the target does not hold,
// verifies each by reading it back, and only when all of them are there removes them from
// the file (and the file once empty). Any failure before that removes the copies this call
// made (where the target still allows it) and leaves the file untouched. Logs what it did.
// The whole move holds the file's lock (the one its changes take), so processes that move
// the same file at once take turns, and the later one finds what the earlier left.
MoveOutcome moveItems(FileKeychain& file, Keychain& target,
                      std::chrono::milliseconds lockLimit = kMoveLockLimit);

class LinuxKeychain : public Keychain {
 public:
  enum class Store { undecided, secretService, file };

  explicit LinuxKeychain(std::string filePath, SecretServiceKeychain::Options options = {});

  OSStatus add(const std::string& service, const std::string& account, const Bytes& value,
               Accessibility accessibility) override;
  OSStatus update(const std::string& service, const std::string& account,
                  const Bytes& value) override;
  CopyResult copyMatching(const std::string& service, const std::string& account) override;
  OSStatus remove(const std::string& service, const std::string& account) override;

  Store store() const;

 private:
  // The store for a call, choosing it at the first; none (with `status`) when it cannot be
  // told now.
  Keychain* choose(OSStatus& status);

  std::shared_ptr<FileKeychain> file_;
  std::shared_ptr<SecretServiceKeychain> secrets_;
  mutable std::mutex mutex_;
  Store store_ = Store::undecided;
};

}  // namespace platform::keychain
