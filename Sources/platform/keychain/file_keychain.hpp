// The keychain's file store: items in a JSON file of the user's data folder.
#pragma once

#include <chrono>
#include <map>
#include <memory>
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

  // Holds the lock that every change takes, for as long as it lives, so that a sequence of
  // reads and changes made through this object on the holding thread is one step for every
  // other thread and process. Waits at most `limit` for the lock; null when another holder
  // kept it that long (and when this object is held already).
  class FileLock;
  class Hold {
   public:
    Hold(FileKeychain& owner, std::unique_lock<std::recursive_mutex> guard,
         std::unique_ptr<FileLock> lock);
    ~Hold();
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

   private:
    FileKeychain& owner_;
    std::unique_lock<std::recursive_mutex> guard_;
    std::unique_ptr<FileLock> lock_;
  };
  std::unique_ptr<Hold> hold(std::chrono::milliseconds limit);

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
  // Recursive: the holder of a `Hold` calls the store's operations under it.
  std::recursive_mutex mutex_;
  bool held_ = false;  // a `Hold` has the file lock (guarded by mutex_)
};

}  // namespace platform::keychain
