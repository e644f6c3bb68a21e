// Device-owner authentication on Linux: the login password, checked by PAM.
#pragma once

#include "platform/localauth/local_auth.hpp"

namespace platform::localauth {

// How a check of the user's login password ended.
enum class PasswordCheck { accepted, rejected, unavailable };
// Checks the login password of the user `user`; may block (run off the main thread).
using PasswordChecker = std::function<PasswordCheck(const std::string& user, const std::string& password)>;

// The login-password check of this machine that device-owner authentication uses; absent
// while the process has none.
PasswordChecker loginPasswordChecker();

// Linux: the owner proves who they are with their login password, typed into a modal dialog
// with a non-echoing field ("Quorvel is trying to <reason>."), checked by `checker` off the
// main thread. A wrong password asks again, three times at most, then the reply is
// "authentication failed"; Cancel replies "user cancel"; a check that cannot run replies "not
// available". Without a checker or a display the policy cannot be evaluated, and an
// evaluation anyway replies "not available". Replies arrive on a global queue.
std::shared_ptr<Provider> makeLinuxProvider(PasswordChecker checker = loginPasswordChecker());
// Attempts at the password before the prompt gives up.
inline constexpr int kPasswordAttempts = 3;

}  // namespace platform::localauth
