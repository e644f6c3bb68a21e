#include "platform/keychain/file_keychain.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>

#include "platform/encoding/base64.hpp"
#include "platform/files/files.hpp"
#include "platform/paths/paths.hpp"

namespace platform::keychain {

namespace {

using Json = nlohmann::json;

std::string folderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

}  // namespace

// Holds an advisory lock on `path` for its lifetime (no lock when the file cannot be made).
class FileKeychain::FileLock {
 public:
  // Waits for the lock as long as it takes.
  explicit FileLock(const std::string& path) : fd_(open(path)) {
    if (fd_ >= 0) {
      while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
      }
    }
  }
  // Waits at most `limit`; `timedOut()` tells whether another holder kept it that long.
  FileLock(const std::string& path, std::chrono::milliseconds limit) : fd_(open(path)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK && errno != EINTR) break;  // cannot be locked at all
      if (std::chrono::steady_clock::now() >= deadline) {
        ::close(fd_);
        fd_ = -1;
        timedOut_ = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  ~FileLock() {
    if (fd_ >= 0) {
      ::flock(fd_, LOCK_UN);
      ::close(fd_);
    }
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  bool timedOut() const { return timedOut_; }

 private:
  static int open(const std::string& path) {
    return ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  }
  int fd_ = -1;
  bool timedOut_ = false;
};

FileKeychain::Hold::Hold(FileKeychain& owner, std::unique_lock<std::recursive_mutex> guard,
                         std::unique_ptr<FileLock> lock)
    : owner_(owner), guard_(std::move(guard)), lock_(std::move(lock)) {
  owner_.held_ = true;
}

FileKeychain::Hold::~Hold() { owner_.held_ = false; }

std::unique_ptr<FileKeychain::Hold> FileKeychain::hold(std::chrono::milliseconds limit) {
  std::unique_lock<std::recursive_mutex> guard(mutex_);
  if (held_) return nullptr;
  // As for a single change, a lock file that cannot be made means no lock.
  auto lock = std::make_unique<FileLock>(path_ + ".lock", limit);
  if (lock->timedOut()) return nullptr;
  return std::make_unique<Hold>(*this, std::move(guard), std::move(lock));
}

FileKeychain::FileKeychain(std::string path) : path_(std::move(path)) {}

FileKeychain::ReadOutcome FileKeychain::readItems(Items& items) const {
  items.clear();
  const auto data = files::readWholeFile(path_);
  if (!data) {
    // Only a definite "no such file" is a missing keychain; any other error (a file that is
    // there but cannot be opened) must never lead to a fresh file in its place.
    if (::access(path_.c_str(), F_OK) != 0 && (errno == ENOENT || errno == ENOTDIR)) {
      return ReadOutcome::missing;
    }
    return ReadOutcome::unreadable;
  }
  return decodeItems(*data, items) ? ReadOutcome::ok : ReadOutcome::unreadable;
}

bool FileKeychain::decodeItems(const Bytes& contents, Items& items) {
  items.clear();
  const Json json = Json::parse(contents.begin(), contents.end(), nullptr, false);
  if (json.is_discarded() || !json.is_object() || !json.contains("items") ||
      !json["items"].is_array()) {
    return false;
  }
  for (const auto& entry : json["items"]) {
    if (!entry.is_object()) return false;
    const auto service = entry.find("service");
    const auto account = entry.find("account");
    const auto value = entry.find("value");
    const auto accessible = entry.find("accessible");
    if (service == entry.end() || !service->is_string() || account == entry.end() ||
        !account->is_string() || value == entry.end() || !value->is_string()) {
      return false;
    }
    auto bytes = encoding::base64Decode(value->get<std::string>());
    if (!bytes) return false;
    Stored stored{std::move(*bytes), accessible != entry.end() && accessible->is_string()
                                         ? accessible->get<std::string>()
                                         : std::string()};
    items[std::make_pair(service->get<std::string>(), account->get<std::string>())] = std::move(stored);
  }
  return true;
}

bool FileKeychain::writeItems(const Items& items) const {
  Json list = Json::array();
  for (const auto& [key, stored] : items) {
    Json entry = Json::object();
    entry["service"] = key.first;
    entry["account"] = key.second;
    entry["value"] = encoding::base64Encode(stored.value);
    if (!stored.accessible.empty()) entry["accessible"] = stored.accessible;
    list.push_back(std::move(entry));
  }
  Json document = Json::object();
  document["items"] = std::move(list);
  std::string text;
  try {
    text = document.dump(2) + "\n";
  } catch (const Json::exception&) {
    return false;  // a service or account name that is not UTF-8: nothing is written
  }
  return files::writeFileAtomically(path_, files::Bytes(text.begin(), text.end()));
}

template <class Change>
OSStatus FileKeychain::modify(Change&& change) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  if (!paths::createFolders(folderOf(path_))) return errSecIO;
  std::optional<FileLock> lock;
  if (!held_) lock.emplace(path_ + ".lock");
  Items items;
  // An unreadable store is kept as it is: nothing is changed until it can be read.
  if (readItems(items) == ReadOutcome::unreadable) return errSecDecode;
  const OSStatus status = change(items);
  if (status != errSecSuccess) return status;
  return writeItems(items) ? errSecSuccess : errSecIO;
}

OSStatus FileKeychain::add(const std::string& service, const std::string& account,
                           const Bytes& value, Accessibility accessibility) {
  return modify([&](Items& items) {
    const auto key = std::make_pair(service, account);
    if (items.count(key)) return errSecDuplicateItem;
    items[key] = Stored{value, attributeValue(accessibility)};
    return errSecSuccess;
  });
}

OSStatus FileKeychain::update(const std::string& service, const std::string& account,
                              const Bytes& value) {
  return modify([&](Items& items) {
    auto found = items.find(std::make_pair(service, account));
    if (found == items.end()) return errSecItemNotFound;
    found->second.value = value;
    return errSecSuccess;
  });
}

CopyResult FileKeychain::copyMatching(const std::string& service, const std::string& account) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  // The file is only ever replaced by a rename, so a reader needs no file lock.
  Items items;
  switch (readItems(items)) {
    case ReadOutcome::missing:
      return CopyResult{errSecItemNotFound, std::nullopt};
    case ReadOutcome::unreadable:
      return CopyResult{errSecDecode, std::nullopt};
    case ReadOutcome::ok:
      break;
  }
  auto found = items.find(std::make_pair(service, account));
  if (found == items.end()) return CopyResult{errSecItemNotFound, std::nullopt};
  return CopyResult{errSecSuccess, found->second.value};
}

OSStatus FileKeychain::remove(const std::string& service, const std::string& account) {
  return modify([&](Items& items) {
    return items.erase(std::make_pair(service, account)) ? errSecSuccess : errSecItemNotFound;
  });
}

OSStatus FileKeychain::listItems(std::vector<Entry>& entries) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  entries.clear();
  Items items;
  if (readItems(items) == ReadOutcome::unreadable) return errSecDecode;
  for (auto& [key, stored] : items) {
    entries.push_back(Entry{key.first, key.second, std::move(stored.value),
                            accessibilityFromAttribute(stored.accessible)
                                .value_or(Accessibility::whenUnlocked)});
  }
  return errSecSuccess;
}

bool FileKeychain::removeIfEmpty() {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  if (::access(path_.c_str(), F_OK) != 0 && errno == ENOENT) return true;
  std::optional<FileLock> lock;
  if (!held_) lock.emplace(path_ + ".lock");
  Items items;
  switch (readItems(items)) {
    case ReadOutcome::missing:
      return true;
    case ReadOutcome::unreadable:
      return false;
    case ReadOutcome::ok:
      break;
  }
  return items.empty() && ::unlink(path_.c_str()) == 0;
}

}  // namespace platform::keychain
