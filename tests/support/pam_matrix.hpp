// PAM for tests without touching a real account: pam_wrapper (preloaded into the test
// executable with PAM_WRAPPER=1, see tests/session/pam_preload.cpp) reads this process's PAM
// services from a folder of its own, where "quorvel" (and PAM's fallback, "other")
// authenticate against pam_matrix's password database. pam_wrapper reads the folder once, so
// it stays for the process's life; each test writes only the database.
#pragma once

#include <string>
#include <vector>

namespace quorvel::testing::pam_matrix {

struct Account {
  std::string user;
  std::string password;
};

// Writes the services and points pam_wrapper at them; before any PAM call.
void prepare();
// The accounts pam_matrix knows from now on (none: no database, so PAM cannot answer).
void setAccounts(const std::vector<Account>& accounts);
// Whether pam_wrapper is in this process and enabled; without it PAM would reach the
// machine's real configuration.
bool wrapperActive();
inline constexpr const char* kHowToRun =
    "pam_wrapper is not active: the test executable must start with libpam_wrapper.so preloaded and PAM_WRAPPER=1 "
    "(tests/session/pam_preload.cpp does it); scripts/setup installs libpam-wrapper";

}  // namespace quorvel::testing::pam_matrix
