#include "support/pam_matrix.hpp"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace quorvel::testing {
namespace {

constexpr const char* kMatrix = "/usr/lib/x86_64-linux-gnu/pam_wrapper/pam_matrix.so";

// The process's PAM folder, removed when the process ends.
struct Folder {
  std::string path = "/tmp/quorvel-pam-" + std::to_string(::getpid());
  ~Folder() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
};
Folder& folder() {
  static Folder instance;
  return instance;
}
std::string database() { return folder().path + "/passdb"; }

}  // namespace

void PamMatrix::prepare() {
  const std::string services = folder().path + "/services";
  if (std::filesystem::exists(services + "/quorvel")) return;
  std::filesystem::create_directories(services);
  for (const char* name : {"quorvel", "other"}) {
    std::ofstream(services + "/" + name) << "auth required " << kMatrix << " passdb=" << database() << '\n'
                                         << "account required " << kMatrix << " passdb=" << database() << '\n';
  }
  ::setenv("PAM_WRAPPER_SERVICE_DIR", services.c_str(), 1);
}

PamMatrix::PamMatrix(const std::vector<Account>& accounts) {
  prepare();
  std::filesystem::remove(database());
  if (accounts.empty()) return;
  std::ofstream file(database());
  for (const auto& account : accounts) file << account.user << ':' << account.password << ":quorvel\n";
}

bool PamMatrix::wrapperActive() {
  const char* enabled = std::getenv("PAM_WRAPPER");
  if (!enabled || std::string(enabled) != "1") return false;
  std::ifstream maps("/proc/self/maps");
  std::ostringstream text;
  text << maps.rdbuf();
  return text.str().find("libpam_wrapper") != std::string::npos;
}

const char* PamMatrix::howToRun() {
  return "pam_wrapper is not active: the test executable must start with libpam_wrapper.so preloaded and "
         "PAM_WRAPPER=1 (tests/session/pam_preload.cpp does it); scripts/setup installs libpam-wrapper";
}

}  // namespace quorvel::testing
