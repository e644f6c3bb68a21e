#include "platform/keychain/simulated_keychain.hpp"

namespace platform::keychain {

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

}  // namespace platform::keychain
