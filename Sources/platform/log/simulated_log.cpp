#include "platform/log/simulated_log.hpp"

namespace platform::log {

void CapturingSink::write(const Entry& entry) {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.push_back(entry);
}

std::vector<Entry> CapturingSink::entries() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_;
}

std::vector<std::string> CapturingSink::messages() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> result;
  for (const auto& entry : entries_) result.push_back(entry.message);
  return result;
}

std::vector<std::string> CapturingSink::messages(std::string_view category) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> result;
  for (const auto& entry : entries_) {
    if (entry.category == category) result.push_back(entry.message);
  }
  return result;
}

bool CapturingSink::contains(std::string_view text) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& entry : entries_) {
    if (entry.message.find(text) != std::string::npos) return true;
  }
  return false;
}

void CapturingSink::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.clear();
}

}  // namespace platform::log
