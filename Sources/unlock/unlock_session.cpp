#include "unlock/unlock_session.hpp"

namespace quorvel {

UnlockSession::UUID UnlockSession::begin() {
  std::lock_guard<std::mutex> guard(lock_);
  id_ = UUID();
  return *id_;
}

std::optional<UnlockSession::UUID> UnlockSession::current() const {
  std::lock_guard<std::mutex> guard(lock_);
  return id_;
}

void UnlockSession::invalidate() {
  std::lock_guard<std::mutex> guard(lock_);
  id_.reset();
}

bool UnlockSession::contains(const UUID& id) const {
  std::lock_guard<std::mutex> guard(lock_);
  return id_.has_value() && *id_ == id;
}

}  // namespace quorvel
