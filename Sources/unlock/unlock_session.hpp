// Names the current unlock attempt by a UUID that the main thread and a camera queue can
// both read safely. Every step scheduled for later carries the UUID it was scheduled for and
// asks `contains` before it acts, so a step of an ended or replaced attempt does nothing.
#pragma once

#include <mutex>
#include <optional>

#include "platform/uuid/uuid.hpp"

namespace quorvel {

class UnlockSession {
 public:
  using UUID = platform::uuid::UUID;

  UnlockSession() = default;
  UnlockSession(const UnlockSession&) = delete;
  UnlockSession& operator=(const UnlockSession&) = delete;

  // Makes a new random UUID the current attempt and returns it.
  UUID begin();
  std::optional<UUID> current() const;
  // No current attempt afterwards.
  void invalidate();
  // True exactly when there is a current attempt and it is `id`.
  bool contains(const UUID& id) const;

 private:
  mutable std::mutex lock_;
  std::optional<UUID> id_;  // guarded by lock_
};

}  // namespace quorvel
