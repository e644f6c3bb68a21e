#include "platform/windowserver/simulated_session.hpp"

namespace platform::windowserver {

std::optional<SessionDictionary> SimulatedSessionSource::copyCurrentDictionary() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++copies_;
  return dictionary_;
}

void SimulatedSessionSource::setDictionary(std::optional<SessionDictionary> dictionary) {
  std::lock_guard<std::mutex> lock(mutex_);
  dictionary_ = std::move(dictionary);
}

void SimulatedSessionSource::setScreenLocked(bool locked) {
  setValue(kSessionScreenIsLockedKey, SessionValue(locked));
}

void SimulatedSessionSource::setValue(const std::string& key, SessionValue value) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!dictionary_) dictionary_ = SessionDictionary{};
  (*dictionary_)[key] = std::move(value);
}

void SimulatedSessionSource::removeValue(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (dictionary_) dictionary_->erase(key);
}

std::size_t SimulatedSessionSource::copyCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return copies_;
}

}  // namespace platform::windowserver
