#include "platform/keychain/keychain.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <nlohmann/json.hpp>

#include "platform/encoding/base64.hpp"
#include "platform/files/files.hpp"
#include "platform/keychain/linux_keychain.hpp"
#include "platform/paths/paths.hpp"

namespace platform::keychain {

const char* attributeValue(Accessibility accessibility) {
  switch (accessibility) {
    case Accessibility::whenUnlocked:
      return "ak";
    case Accessibility::afterFirstUnlock:
      return "ck";
    case Accessibility::whenUnlockedThisDeviceOnly:
      return "aku";
  }
  return "ak";
}

std::optional<Accessibility> accessibilityFromAttribute(const std::string& value) {
  if (value == "ak") return Accessibility::whenUnlocked;
  if (value == "ck") return Accessibility::afterFirstUnlock;
  if (value == "aku") return Accessibility::whenUnlockedThisDeviceOnly;
  return std::nullopt;
}

std::string messageForStatus(OSStatus status) {
  switch (status) {
    case errSecSuccess:
      return "No error.";
    case errSecUserCanceled:
      return "User canceled the operation.";
    case errSecParam:
      return "One or more parameters passed to a function were not valid.";
    case errSecIO:
      return "I/O error.";
    case errSecAuthFailed:
      return "The user name or passphrase you entered is not correct.";
    case errSecDuplicateItem:
      return "The specified item already exists in the keychain.";
    case errSecItemNotFound:
      return "The specified item could not be found in the keychain.";
    case errSecInteractionNotAllowed:
      return "User interaction is not allowed.";
    case errSecDecode:
      return "Unable to decode the provided data.";
    case errSecNotAvailable:
      return "No keychain is available. You may need to restart your computer.";
    case errSecNoDefaultKeychain:
      return "A default keychain could not be found.";
    case -34018:
      return "A required entitlement isn't present.";
    default:
      return "OSStatus " + std::to_string(status);
  }
}

// --- installed -----------------------------------------------------------------------------

namespace {
std::mutex gMutex;
std::shared_ptr<Keychain> gCurrent;
}  // namespace

std::shared_ptr<Keychain> current() {
  std::lock_guard<std::mutex> lock(gMutex);
  if (!gCurrent) gCurrent = std::make_shared<LinuxKeychain>(defaultFilePath());
  return gCurrent;
}

void install(std::shared_ptr<Keychain> keychain) {
  std::lock_guard<std::mutex> lock(gMutex);
  gCurrent = std::move(keychain);
}

std::string defaultFilePath() {
  return paths::dataHome() + "/" + paths::kApplicationFolder + "/keychain.json";
}

// --- simulated -----------------------------------------------------------------------------

std::optional<OSStatus> SimulatedKeychain::fault(const std::map<std::string, OSStatus>& faults,
                                                 const std::string& account) const {
  if (auto exact = faults.find(account); exact != faults.end()) return exact->second;
  if (auto any = faults.find(""); any != faults.end()) return any->second;
  return std::nullopt;
}

OSStatus SimulatedKeychain::add(const std::string& service, const std::string& account,
                                const Bytes& value, Accessibility accessibility) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++calls_["add"];
  if (auto refused = fault(writeFaults_, account)) return *refused;
  const auto key = std::make_pair(service, account);
  if (items_.count(key)) return errSecDuplicateItem;
  items_[key] = Item{value, accessibility};
  return errSecSuccess;
}

OSStatus SimulatedKeychain::update(const std::string& service, const std::string& account,
                                   const Bytes& value) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++calls_["update"];
  if (auto refused = fault(writeFaults_, account)) return *refused;
  auto found = items_.find(std::make_pair(service, account));
  if (found == items_.end()) return errSecItemNotFound;
  found->second.value = value;
  return errSecSuccess;
}

CopyResult SimulatedKeychain::copyMatching(const std::string& service, const std::string& account) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++calls_["copy"];
  if (auto refused = fault(readFaults_, account)) return CopyResult{*refused, std::nullopt};
  auto found = items_.find(std::make_pair(service, account));
  if (found == items_.end()) return CopyResult{errSecItemNotFound, std::nullopt};
  bool noData = false;
  if (auto exact = noData_.find(account); exact != noData_.end()) {
    noData = exact->second;
  } else if (auto any = noData_.find(""); any != noData_.end()) {
    noData = any->second;
  }
  if (noData) return CopyResult{errSecSuccess, std::nullopt};
  return CopyResult{errSecSuccess, found->second.value};
}

OSStatus SimulatedKeychain::remove(const std::string& service, const std::string& account) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++calls_["delete"];
  if (auto refused = fault(writeFaults_, account)) return *refused;
  return items_.erase(std::make_pair(service, account)) ? errSecSuccess : errSecItemNotFound;
}

void SimulatedKeychain::refuseReads(OSStatus status, const std::string& account) {
  std::lock_guard<std::mutex> lock(mutex_);
  readFaults_[account] = status;
}

void SimulatedKeychain::refuseWrites(OSStatus status, const std::string& account) {
  std::lock_guard<std::mutex> lock(mutex_);
  writeFaults_[account] = status;
}

void SimulatedKeychain::answerSuccessWithoutData(bool on, const std::string& account) {
  std::lock_guard<std::mutex> lock(mutex_);
  noData_[account] = on;
}

void SimulatedKeychain::clearFaults() {
  std::lock_guard<std::mutex> lock(mutex_);
  readFaults_.clear();
  writeFaults_.clear();
  noData_.clear();
}

void SimulatedKeychain::put(const std::string& service, const std::string& account, Bytes value,
                            Accessibility accessibility) {
  std::lock_guard<std::mutex> lock(mutex_);
  items_[std::make_pair(service, account)] = Item{std::move(value), accessibility};
}

std::optional<SimulatedKeychain::Item> SimulatedKeychain::item(const std::string& service,
                                                               const std::string& account) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = items_.find(std::make_pair(service, account));
  if (found == items_.end()) return std::nullopt;
  return found->second;
}

std::size_t SimulatedKeychain::itemCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return items_.size();
}

int SimulatedKeychain::calls(const std::string& operation) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = calls_.find(operation);
  return found == calls_.end() ? 0 : found->second;
}

// --- file ----------------------------------------------------------------------------------

namespace {

using Json = nlohmann::json;

std::string folderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// Holds an advisory lock on `path` for its lifetime (no lock when the file cannot be made).
class FileLock {
 public:
  FileLock(const std::string& path, int operation) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ >= 0) {
      while (::flock(fd_, operation) != 0 && errno == EINTR) {
      }
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

 private:
  int fd_ = -1;
};

}  // namespace

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
  std::lock_guard<std::mutex> guard(mutex_);
  if (!paths::createFolders(folderOf(path_))) return errSecIO;
  FileLock lock(path_ + ".lock", LOCK_EX);
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
  std::lock_guard<std::mutex> guard(mutex_);
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
  std::lock_guard<std::mutex> guard(mutex_);
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
  std::lock_guard<std::mutex> guard(mutex_);
  if (::access(path_.c_str(), F_OK) != 0 && errno == ENOENT) return true;
  FileLock lock(path_ + ".lock", LOCK_EX);
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
