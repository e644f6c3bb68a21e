// Checking a user's password through PAM: one question, one verdict. The service names the
// PAM configuration to use (a file of /etc/pam.d); the check runs its authentication and its
// account stacks, so a locked or expired account is refused like a wrong password.
//
// A check may take seconds (modules wait after a failure, some ask other devices): never run
// it on the main thread.
#pragma once

#include <string>
#include <string_view>

namespace platform::pam {

enum class Verdict {
  accepted,     // the password is the user's and the account may be used
  refused,      // wrong password, unknown user, or an account that may not log in now
  unavailable,  // PAM could not answer (no configuration, a module failing, ...)
};

const char* verdictName(Verdict verdict);

// Asks PAM whether `password` is the password of `user` for `service`. The password is
// handed to PAM's modules through the conversation and to nothing else; the copy made for
// that is wiped once PAM has it.
Verdict checkPassword(const std::string& service, const std::string& user, std::string_view password);

// Whether a PAM transaction for `service` and `user` can be started at all.
bool isAvailable(const std::string& service, const std::string& user);

}  // namespace platform::pam
