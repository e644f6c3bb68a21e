// For the tests (built on its own; the extension keeps it out of the tests' glob): asks the
// Linux authorization services for the administrator right as the probe does and prints
// "copyRights: <status>". With --free-when FILE another thread frees the reference with its
// rights once FILE exists and prints "free: <status>".
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/authorization/authorization_linux.hpp"

namespace auth = platform::authorization;

int main(int argc, char** argv) {
  const auto services = auth::current();
  auth::Reference reference;
  if (services->create(nullptr, nullptr, 0, &reference) != auth::errAuthorizationSuccess) return 1;
  std::thread freeing([&] {
    if (argc != 3) return;
    for (int i = 0; i < 3000 && !std::filesystem::exists(argv[2]); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::printf("free: %d\n", services->free(reference, auth::kAuthorizationFlagDestroyRights));
    std::fflush(stdout);
  });
  const auth::ItemSet rights{auth::Item{auth::kAdministratorRight, std::nullopt, 0}};
  std::printf("copyRights: %d\n", services->copyRights(reference, rights, nullptr, 19, nullptr));
  std::fflush(stdout);
  freeing.join();
  return 0;
}
