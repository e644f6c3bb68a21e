// Authorization services on Linux: polkit.
#pragma once

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/authorization/authorization.hpp"

namespace platform::dbus {
class Connection;
}

namespace platform::authorization {

// The right that asks for an administrator, and the polkit action that stands for it: an
// action of our own whose every default is `auth_admin` (scripts/polkit/, installed into
// polkit's actions folder by scripts/setup).
inline constexpr const char* kAdministratorRight = "authenticate-admin";
inline constexpr const char* kAdministratorAction = "com.tessmin.quorvel.authenticate-admin";

// Rights are polkit checks of this process (`CheckAuthorization` on polkitd over the system
// bus, for the subject "unix-process" with our pid, start time and uid). With
// kAuthorizationFlagExtendRights and kAuthorizationFlagInteractionAllowed the check allows
// user interaction, so polkitd asks the desktop's authentication agent, which shows its
// dialog; the call blocks until the dialog is answered (never call it on the main thread).
// Without ExtendRights only a right already held is granted. A reference keeps the rights it
// obtained; freeing it with kAuthorizationFlagDestroyRights cancels its pending checks
// (`CancelCheckAuthorization`), which then end with errAuthorizationCanceled.
//
// Answers: authorized: success; dismissed by the user or cancelled: errAuthorizationCanceled;
// not authorized: errAuthorizationDenied; authentication needed but no agent answers for
// this process, or interaction not allowed: errAuthorizationInteractionNotAllowed; no system
// bus, no polkitd, our action not installed, or another polkit failure:
// errAuthorizationInternal. Rights other than "authenticate-admin" are denied. Every failure
// but a denial or a cancel is logged with its cause.
class LinuxAuthorization : public Authorization {
 public:
  LinuxAuthorization();
  ~LinuxAuthorization() override;

  OSStatus create(const ItemSet* rights, const ItemSet* environment, Flags flags, Reference* reference) override;
  OSStatus copyRights(Reference reference, const ItemSet& rights, const ItemSet* environment, Flags flags,
                      ItemSet* granted) override;
  OSStatus free(Reference reference, Flags flags) override;

 private:
  struct Live {
    std::set<std::string> rights;          // obtained
    std::set<std::string> pendingChecks;   // cancellation ids
  };
  OSStatus check(std::uint64_t reference, bool interaction);
  dbus::Connection& bus();

  std::mutex mutex_;
  std::uint64_t next_ = 1;
  std::uint64_t nextCheck_ = 1;
  std::map<std::uint64_t, Live> live_;
  std::set<std::string> cancelled_;  // checks whose reference was freed with its rights
  std::unique_ptr<dbus::Connection> bus_;  // made for the first check
};

}  // namespace platform::authorization
