#include "support/pam_matrix.hpp"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace quorvel::testing::pam_matrix {
namespace {

// The process's PAM folder, removed when the process ends.
struct Folder {
  const std::string path = "/tmp/quorvel-pam-" + std::to_string(::getpid());
  ~Folder() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
};
const std::string& folder() {
  static Folder instance;
  return instance.path;
}

}  // namespace

void prepare() {
  const std::string services = folder() + "/services";
  std::filesystem::create_directories(services);
  const std::string module = "/usr/lib/x86_64-linux-gnu/pam_wrapper/pam_matrix.so passdb=" + folder() + "/passdb";
  for (const char* name : {"quorvel", "other"}) {
    std::ofstream(services + "/" + name) << "auth required " << module << "\naccount required " << module << '\n';
  }
  ::setenv("PAM_WRAPPER_SERVICE_DIR", services.c_str(), 1);
}

void setAccounts(const std::vector<Account>& accounts) {
  std::filesystem::remove(folder() + "/passdb");
  if (accounts.empty()) return;
  std::ofstream file(folder() + "/passdb");
  for (const auto& account : accounts) file << account.user << ':' << account.password << ":quorvel\n";
}

bool wrapperActive() {
  const char* enabled = std::getenv("PAM_WRAPPER");
  std::ifstream maps("/proc/self/maps");
  std::ostringstream text;
  text << maps.rdbuf();
  return enabled && std::string(enabled) == "1" && text.str().find("libpam_wrapper") != std::string::npos;
}

}  // namespace quorvel::testing::pam_matrix
