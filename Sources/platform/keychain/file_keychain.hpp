// The keychain's file store: items in a JSON file of the user's data folder.
#pragma once

#include <map>
#include <mutex>
#include <utility>

#include "platform/keychain/keychain.hpp"

namespace platform::keychain {

// Items in one JSON file (values in Base64). Every change is a read-modify-write under an
// advisory lock of a sibling lock file, written to a temporary file and renamed into place,
// so other threads and processes see the old items or the new ones. A file that is there but
// cannot be opened or parsed is never overwritten: reads answer errSecDecode and changes are
// refused with it.
class FileKeychain : public Keychain {
 public:
  explicit FileKeychain(std::string path);

  OSStatus add(const std::string& service, const std::string& account, const Bytes& value,
               Accessibility accessibility) override;
  OSStatus update(const std::string& service, const std::string& account,
                  const Bytes& value) override;
  CopyResult copyMatching(const std::string& service, const std::string& account) override;
  OSStatus remove(const std::string& service, const std::string& account) override;

  const std::string& path() const { return path_; }

  struct Entry {
    std::string service;
    std::string account;
    Bytes value;
    Accessibility accessibility = Accessibility::whenUnlocked;
  };
  // Every item into `entries`: errSecSuccess (an empty list when there is no file), or
  // errSecDecode for a file that is there but cannot be read.
  OSStatus listItems(std::vector<Entry>& entries);
  // Deletes the file when it holds no item; true when no file is left.
  bool removeIfEmpty();

  // An item as the file keeps it (its accessibility attribute as written).
  struct Stored {
    Bytes value;
    std::string accessible;
  };
  using Items = std::map<std::pair<std::string, std::string>, Stored>;
  // The items of a file's contents into `items`; false when it is not a keychain file.
  static bool decodeItems(const Bytes& contents, Items& items);

 private:
  enum class ReadOutcome { ok, missing, unreadable };

  ReadOutcome readItems(Items& items) const;
  bool writeItems(const Items& items) const;
  // Runs `change` on the items under the process lock and the file lock, writing them back
  // when it answers success.
  template <class Change>
  OSStatus modify(Change&& change);

  std::string path_;
  std::mutex mutex_;
};

}  // namespace platform::keychain
