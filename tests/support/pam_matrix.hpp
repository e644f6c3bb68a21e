// PAM for tests without touching a real account: pam_wrapper (preloaded into the test
// executable, always with PAM_WRAPPER=1; see tests/session/pam_preload.cpp) reads the PAM
// services of this process from a folder of its own, where the "quorvel" service (and PAM's
// fallback, "other") authenticates against pam_matrix's password database. pam_wrapper reads
// that folder once, so the services stay for the process's life and each test writes only
// the database.
#pragma once

#include <string>
#include <vector>

namespace quorvel::testing {

class PamMatrix {
 public:
  struct Account {
    std::string user;
    std::string password;
  };
  // The accounts pam_matrix knows from now on, until the next set is written (none: no
  // database, so PAM cannot answer).
  explicit PamMatrix(const std::vector<Account>& accounts);

  // Writes this process's services and points pam_wrapper at them; before any PAM call.
  static void prepare();
  // Whether pam_wrapper is in this process and enabled; without it PAM would reach the
  // machine's real configuration.
  static bool wrapperActive();
  // What to tell someone who ran the tests without it.
  static const char* howToRun();
};

}  // namespace quorvel::testing
