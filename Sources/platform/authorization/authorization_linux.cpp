#include "platform/authorization/authorization_linux.hpp"

#include <algorithm>

namespace platform::authorization {

OSStatus LinuxAuthorization::create(const ItemSet* rights, const ItemSet* /*environment*/, Flags flags,
                                    Reference* reference) {
  if (!reference) return errAuthorizationInvalidRef;
  *reference = Reference{};
  // Rights asked for at creation need the same agent a later request would.
  if (rights && !rights->empty() && (flags & kAuthorizationFlagExtendRights) != 0) {
    return errAuthorizationInteractionNotAllowed;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  live_.push_back(next_);
  *reference = Reference{next_++};
  return errAuthorizationSuccess;
}

OSStatus LinuxAuthorization::copyRights(Reference reference, const ItemSet& rights, const ItemSet* /*environment*/,
                                        Flags /*flags*/, ItemSet* granted) {
  if (granted) granted->clear();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (std::find(live_.begin(), live_.end(), reference.value) == live_.end()) return errAuthorizationInvalidRef;
  }
  if (rights.empty()) return errAuthorizationSuccess;
  return errAuthorizationInteractionNotAllowed;
}

OSStatus LinuxAuthorization::free(Reference reference, Flags /*flags*/) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = std::find(live_.begin(), live_.end(), reference.value);
  if (found == live_.end()) return errAuthorizationInvalidRef;
  live_.erase(found);
  return errAuthorizationSuccess;
}

}  // namespace platform::authorization
