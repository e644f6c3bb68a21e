#include "platform/keychain/keychain_linux.hpp"

#include <unistd.h>

#include <cerrno>

#include "platform/log/log.hpp"
#include "platform/paths/paths.hpp"

namespace platform::keychain {
namespace {

const log::Logger& logger() {
  // Never destroyed: threads of the process may still log while it exits.
  static const auto* const instance = new log::Logger(paths::kApplicationFolder, "app");
  return *instance;
}

}  // namespace

MoveOutcome moveItems(FileKeychain& file, Keychain& target, std::chrono::milliseconds lockLimit) {
  MoveOutcome outcome;
  if (::access(file.path().c_str(), F_OK) != 0 && errno == ENOENT) {
    outcome.complete = true;  // nothing to move
    return outcome;
  }
  const auto hold = file.hold(lockLimit);
  if (!hold) {
    outcome.busy = true;
    outcome.status = errSecNotAvailable;
    logger().error("The keychain file %{public}s is still being moved by another process",
                   file.path());
    return outcome;
  }
  std::vector<FileKeychain::Entry> entries;
  if (const OSStatus status = file.listItems(entries); status != errSecSuccess) {
    outcome.status = status;
    logger().error(
        "The keychain file %{public}s cannot be read (status %{public}d); it stays as it is",
        file.path(), status);
    return outcome;
  }

  std::vector<const FileKeychain::Entry*> added;
  std::vector<const FileKeychain::Entry*> moved;
  const auto fail = [&](OSStatus status) {
    for (const auto* entry : added) (void)target.remove(entry->service, entry->account);
    outcome.status = status;
    outcome.kept.clear();
    logger().error(
        "Could not move the keychain items into the Secret Service (status %{public}d); they stay "
        "in %{public}s",
        status, file.path());
    return outcome;
  };
  for (const auto& entry : entries) {
    CopyResult present = target.copyMatching(entry.service, entry.account);
    if (present.status == errSecItemNotFound) {
      const OSStatus status =
          target.add(entry.service, entry.account, entry.value, entry.accessibility);
      if (status != errSecSuccess) return fail(status);
      added.push_back(&entry);
      present = target.copyMatching(entry.service, entry.account);
      if (present.status != errSecSuccess) return fail(present.status);
      if (present.data != entry.value) return fail(errSecIO);
      moved.push_back(&entry);
    } else if (present.status == errSecSuccess && present.data) {
      if (*present.data == entry.value) {
        moved.push_back(&entry);
      } else {
        outcome.kept.push_back(entry.account);
      }
    } else {
      return fail(present.status == errSecSuccess ? errSecIO : present.status);
    }
  }

  // Everything is in the target now; only then do the file's copies go.
  outcome.complete = true;
  outcome.moved = moved.size();
  bool removed = true;
  for (const auto* entry : moved) {
    const OSStatus status = file.remove(entry->service, entry->account);
    removed = removed && (status == errSecSuccess || status == errSecItemNotFound);
  }
  if (!removed || (outcome.kept.empty() && !file.removeIfEmpty())) {
    logger().error("Could not remove the moved keychain items from %{public}s", file.path());
  }
  if (!moved.empty()) {
    logger().info("Moved %ld keychain item(s) from %{public}s into the Secret Service",
                  static_cast<long>(moved.size()), file.path());
  }
  for (const auto& account : outcome.kept) {
    logger().error(
        "Keychain item %{public}s is already in the Secret Service with another value; the copy in "
        "%{public}s is kept",
        account, file.path());
  }
  return outcome;
}

LinuxKeychain::LinuxKeychain(std::string filePath, SecretServiceKeychain::Options options)
    : file_(std::make_shared<FileKeychain>(std::move(filePath))),
      secrets_(std::make_shared<SecretServiceKeychain>(options)) {}

LinuxKeychain::Store LinuxKeychain::store() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return store_;
}

Keychain* LinuxKeychain::choose(OSStatus& status) {
  std::lock_guard<std::mutex> lock(mutex_);
  switch (store_) {
    case Store::secretService:
      return secrets_.get();
    case Store::file:
      return file_.get();
    case Store::undecided:
      break;
  }
  OSStatus probed = errSecSuccess;
  switch (secrets_->probe(&probed)) {
    case SecretServiceKeychain::Availability::absent:
      store_ = Store::file;
      logger().log("No Secret Service is running; keychain items stay in %{public}s",
                   file_->path());
      return file_.get();
    case SecretServiceKeychain::Availability::unknown:
      status = probed == errSecSuccess ? errSecNotAvailable : probed;
      return nullptr;
    case SecretServiceKeychain::Availability::available:
      break;
  }
  // The key and the newer items may be in the Secret Service already, so a move that does not
  // complete (a locked keyring, no answer, a file that cannot be read, another process still
  // moving) decides nothing: the call fails and the next one tries again.
  const MoveOutcome moved = moveItems(*file_, *secrets_);
  if (!moved.complete) {
    status = moved.status == errSecSuccess ? errSecNotAvailable : moved.status;
    return nullptr;
  }
  store_ = Store::secretService;
  return secrets_.get();
}

OSStatus LinuxKeychain::add(const std::string& service, const std::string& account,
                            const Bytes& value, Accessibility accessibility) {
  OSStatus status = errSecSuccess;
  Keychain* keychain = choose(status);
  return keychain ? keychain->add(service, account, value, accessibility) : status;
}

OSStatus LinuxKeychain::update(const std::string& service, const std::string& account,
                               const Bytes& value) {
  OSStatus status = errSecSuccess;
  Keychain* keychain = choose(status);
  return keychain ? keychain->update(service, account, value) : status;
}

CopyResult LinuxKeychain::copyMatching(const std::string& service, const std::string& account) {
  OSStatus status = errSecSuccess;
  Keychain* keychain = choose(status);
  return keychain ? keychain->copyMatching(service, account) : CopyResult{status, std::nullopt};
}

OSStatus LinuxKeychain::remove(const std::string& service, const std::string& account) {
  OSStatus status = errSecSuccess;
  Keychain* keychain = choose(status);
  return keychain ? keychain->remove(service, account) : status;
}

}  // namespace platform::keychain
