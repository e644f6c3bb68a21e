// For the tests: asks the Linux authorization services for the administrator right with
// interaction allowed, as the authorization probe does, and prints "copyRights: <status>".
// With --free-when FILE, once FILE exists, another thread frees the reference with its rights
// while the request is pending and prints "free: <status>". Run it as an ordinary user: polkit
// grants root everything without asking.
//
// Built as its own executable (the extension keeps it out of the tests' glob).
#include <chrono>
#include <filesystem>
#include <cstdio>
#include <string>
#include <thread>

#include "platform/authorization/authorization_linux.hpp"

namespace auth = platform::authorization;

int main(int argc, char** argv) {
  const std::string trigger = argc == 3 && std::string(argv[1]) == "--free-when" ? argv[2] : "";
  const auto services = auth::current();
  auth::Reference reference;
  if (services->create(nullptr, nullptr, auth::kAuthorizationFlagDefaults, &reference) != auth::errAuthorizationSuccess) {
    return 1;
  }
  std::thread freeing;
  if (!trigger.empty()) {
    freeing = std::thread([&] {
      const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
      while (!std::filesystem::exists(trigger) && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      std::printf("free: %d\n", services->free(reference, auth::kAuthorizationFlagDestroyRights));
      std::fflush(stdout);
    });
  }
  const auth::ItemSet rights{auth::Item{auth::kAdministratorRight, std::nullopt, 0}};
  const auth::Flags flags = auth::kAuthorizationFlagInteractionAllowed | auth::kAuthorizationFlagExtendRights |
                            auth::kAuthorizationFlagPreAuthorize;
  std::printf("copyRights: %d\n", services->copyRights(reference, rights, nullptr, flags, nullptr));
  std::fflush(stdout);
  if (freeing.joinable()) {
    freeing.join();
  } else {
    services->free(reference, auth::kAuthorizationFlagDestroyRights);
  }
  return 0;
}
