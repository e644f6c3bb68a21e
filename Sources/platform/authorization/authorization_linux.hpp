// Authorization services on Linux.
#pragma once

#include <mutex>

#include "platform/authorization/authorization.hpp"

namespace platform::authorization {

// Linux has no security agent: references are made and freed, but a rights request is
// refused with errAuthorizationInteractionNotAllowed (the platform's answer when no dialog
// can be shown) without waiting.
class LinuxAuthorization : public Authorization {
 public:
  OSStatus create(const ItemSet* rights, const ItemSet* environment, Flags flags, Reference* reference) override;
  OSStatus copyRights(Reference reference, const ItemSet& rights, const ItemSet* environment, Flags flags,
                      ItemSet* granted) override;
  OSStatus free(Reference reference, Flags flags) override;

 private:
  std::mutex mutex_;
  std::uint64_t next_ = 1;
  std::vector<std::uint64_t> live_;
};

}  // namespace platform::authorization
