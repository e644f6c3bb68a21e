#include "platform/windowserver/session.hpp"

#include "platform/logind/login_session.hpp"

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

std::optional<SessionDictionary> LinuxSessionSource::copyCurrentDictionary() {
  const auto locked = logind::LoginSession::shared()->lockedHint();
  if (!locked) return std::nullopt;
  return SessionDictionary{{kSessionScreenIsLockedKey, SessionValue(*locked)}};
}

namespace {
std::mutex installedMutex;
std::shared_ptr<SessionSource>& installedSource() {
  static std::shared_ptr<SessionSource> source;
  return source;
}
}  // namespace

std::shared_ptr<SessionSource> sessionSource() {
  std::lock_guard<std::mutex> lock(installedMutex);
  if (!installedSource()) installedSource() = std::make_shared<LinuxSessionSource>();
  return installedSource();
}

void installSessionSource(std::shared_ptr<SessionSource> source) {
  std::lock_guard<std::mutex> lock(installedMutex);
  installedSource() = std::move(source);
}

}  // namespace platform::windowserver
