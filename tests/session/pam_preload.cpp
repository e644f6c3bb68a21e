// Starts this test executable again, before any test runs, with pam_wrapper preloaded and
// enabled (PAM_WRAPPER=1: a preloaded pam_wrapper without it spins), so that PAM reads the
// tests' services (support/pam_matrix.hpp), never the machine's. Under the sanitizers the
// wrapper comes before their runtime and must not bind deeply (Debian 12's pam_wrapper
// 1.1.4 reads the UID_ name).
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/pam_matrix.hpp"

namespace {

[[maybe_unused]] const bool preloaded = [] {
  namespace pam = quorvel::testing::pam_matrix;
  if (pam::wrapperActive()) pam::prepare();
  if (pam::wrapperActive() || std::getenv("QUORVEL_PAM_PRELOADED")) return true;
  ::setenv("QUORVEL_PAM_PRELOADED", "1", 1);  // once: a failed preload is reported by the tests
  ::setenv("LD_PRELOAD", QUORVEL_PAM_WRAPPER, 1);
  ::setenv("PAM_WRAPPER", "1", 1);
  ::setenv("PAM_WRAPPER_DISABLE_DEEPBIND", "1", 1);
  ::setenv("UID_WRAPPER_DISABLE_DEEPBIND", "1", 1);
  const char* asan = std::getenv("ASAN_OPTIONS");
  ::setenv("ASAN_OPTIONS", (std::string(asan ? asan : "") + ":verify_asan_link_order=0").c_str(), 1);
  std::ifstream file("/proc/self/cmdline", std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  std::vector<std::string> arguments;
  std::istringstream parts(text.str());
  for (std::string part; std::getline(parts, part, '\0');) arguments.push_back(part);
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  ::execv("/proc/self/exe", argv.data());
  return false;
}();

}  // namespace
